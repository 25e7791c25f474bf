#include "CRestRecords.h"

#include "CRestJsonParser.h"

#include <string>

namespace {

using P = CRestJsonParser;

picojson::value ParseBody(const QByteArray& body) {
    picojson::value root;
    CRestJsonParser().Parse(body, root);
    return root;
}

const picojson::array& EmptyArray() {
    static const picojson::array empty;
    return empty;
}

// object[key] when it is an array, otherwise an empty one.
const picojson::array& ArrayMember(const picojson::object& object, const std::string& key) {
    const picojson::value& v = P::Member(object, key);
    return v.is<picojson::array>() ? v.get<picojson::array>() : EmptyArray();
}

const picojson::object& AsObject(const picojson::value& v) {
    static const picojson::object empty;
    return v.is<picojson::object>() ? v.get<picojson::object>() : empty;
}

CRestItem ItemFromObject(const picojson::object& o) {
    CRestItem item;
    item.portalId = P::FieldInt(o, "portalId");
    item.itemType = P::FieldWideText(o, "itemType");
    item.itemId = P::FieldLong(o, "itemId");
    item.repositoryId = P::FieldInt(o, "repositoryId");
    item.path = P::FieldWideText(o, "path");
    item.parentFolderId = P::FieldLong(o, "parentFolderId");
    item.parentFolderPath = P::FieldWideText(o, "parentFolderPath");
    item.name = P::FieldWideText(o, "name");
    item.notification = P::FieldFlag(o, "notification");
    item.creatorUserId = P::FieldInt(o, "creatorUserId");
    item.creatorUserFamilyName = P::FieldWideText(o, "creatorUserFamilyName");
    item.creatorUserFirstName = P::FieldWideText(o, "creatorUserFirstName");
    item.createdTime = P::FieldWideText(o, "createdTime");
    item.modifierUserId = P::FieldInt(o, "modifierUserId");
    item.modifierUserFamilyName = P::FieldWideText(o, "modifierUserFamilyName");
    item.modifierUserFirstName = P::FieldWideText(o, "modifierUserFirstName");
    item.modifiedTime = P::FieldWideText(o, "modifiedTime");
    item.hidden = P::FieldFlag(o, "hidden");

    const bool isFolder = item.itemType == QLatin1String("folder");
    const bool isFile = item.itemType == QLatin1String("file");

    const picojson::object& permission = P::SubObject(o, "accessPermission");
    if (isFolder)
        item.canCreate = P::FieldFlag(permission, "canCreate");
    item.canRead = P::FieldFlag(permission, "canRead");
    item.canUpdate = P::FieldFlag(permission, "canUpdate");
    item.canDelete = P::FieldFlag(permission, "canDelete");
    item.canAdminister = P::FieldFlag(permission, "canAdminister");

    if (isFolder) {
        item.autoRevision = P::FieldFlag(o, "autoRevision");
        item.childFolderCount = P::FieldInt(o, "childFolderCount");
        item.childFileCount = P::FieldInt(o, "childFileCount");
    }
    if (isFile) {
        item.fileSize = P::FieldLong(o, "fileSize");
        item.revisionControlled = P::FieldFlag(o, "revisionControlled");
        item.latestRevisionNumber = P::FieldInt(o, "latestRevisionNumber");
        item.revisionRetentionLimitType = P::FieldWideText(o, "revisionRetentionLimitType");
        item.revisionRetentionSize = P::FieldInt(o, "revisionRetentionSize");
        item.revisionRetentionDuration = P::FieldInt(o, "revisionRetentionDuration");
        item.locked = P::FieldFlag(o, "locked");
        item.lockerUserId = P::FieldInt(o, "lockerUserId");
        item.lockerUserFamilyName = P::FieldWideText(o, "lockerUserFamilyName");
        item.lockerUserFirstName = P::FieldWideText(o, "lockerUserFirstName");
    }
    return item;
}

}  // namespace

CRestPortal ReadPortal(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    const picojson::object& o = root.get<picojson::object>();
    CRestPortal portal;
    portal.portalId = P::FieldInt(o, "portalId");
    portal.portalCode = P::FieldWideText(o, "portalCode");
    portal.name = P::FieldWideText(o, "name");
    portal.storageQuotaSize = P::FieldLong(o, "storageQuotaSize");
    portal.storageUsedSize = P::FieldLong(o, "storageUsedSize");
    portal.locked = P::FieldFlag(o, "locked");
    return portal;
}

CRestUser ReadUser(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    const picojson::object& o = root.get<picojson::object>();
    CRestUser user;
    user.portalId = P::FieldInt(o, "portalId");
    user.userId = P::FieldInt(o, "userId");
    user.userType = P::FieldWideText(o, "userType");
    user.userCode = P::FieldWideText(o, "userCode");
    user.familyName = P::FieldWideText(o, "familyName");
    user.firstName = P::FieldWideText(o, "firstName");
    user.familyNameKana = P::FieldWideText(o, "familyNameKana");
    user.firstNameKana = P::FieldWideText(o, "firstNameKana");
    user.mailAddress = P::FieldWideText(o, "mailAddress");
    user.phone1 = P::FieldWideText(o, "phone1");
    user.phone2 = P::FieldWideText(o, "phone2");
    user.phone3 = P::FieldWideText(o, "phone3");
    user.hidden = P::FieldFlag(o, "hidden");
    user.locked = P::FieldFlag(o, "locked");
    return user;
}

CRestItem ReadItem(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    return ItemFromObject(root.get<picojson::object>());
}

QList<CRestItem> ReadItemList(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    const picojson::array& elements = ArrayMember(root.get<picojson::object>(), "items");
    QList<CRestItem> items;
    items.reserve(qsizetype(elements.size()));
    for (const picojson::value& element : elements)
        items.append(ItemFromObject(AsObject(element)));
    return items;
}

CRestOptions ReadOptions(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    CRestOptions options;
    // Matched in this order; the first match takes the entry.
    const struct {
        const char* name;
        bool CRestOptions::*flag;
    } switches[] = {
        {"sharedFolder", &CRestOptions::sharedFolder},
        {"mailUpload", &CRestOptions::mailUpload},
        {"auditExtension", &CRestOptions::auditExtension},
        {"document", &CRestOptions::document},
        {"schedule", &CRestOptions::schedule},
        {"bulletin", &CRestOptions::bulletin},
        {"chat", &CRestOptions::chat},
        {"task", &CRestOptions::task},
        {"mailUploadBody", &CRestOptions::mailUploadBody},
        {"autoBlock", &CRestOptions::autoBlock},
    };
    for (const picojson::value& element : ArrayMember(root.get<picojson::object>(), "options")) {
        const picojson::object& entry = AsObject(element);
        const QString name = P::FieldWideText(entry, "name");
        for (const auto& s : switches) {
            if (name == QLatin1String(s.name)) {
                options.*s.flag = P::FieldFlag(entry, "enabled");
                break;
            }
        }
    }
    return options;
}

CRestAutoBlock ReadAutoBlock(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    const picojson::object& reason = P::SubObject(root.get<picojson::object>(), "reason");
    CRestAutoBlock block;
    block.blockCount = P::FieldIntNumber(reason, "blockCount");
    block.blocked = P::FieldFlag(reason, "blocked");
    if (!block.blocked)
        return block;
    block.duration = P::FieldNumber(reason, "duration");
    block.userAgent = P::FieldWideText(reason, "userAgent");
    block.userCode = P::FieldWideText(reason, "userCode");
    block.inSize = P::FieldIntNumber(reason, "inSize");
    block.outSize = P::FieldIntNumber(reason, "outSize");
    block.when = P::FieldWideText(reason, "when");
    block.path = P::FieldWideText(reason, "path");
    block.method = P::FieldWideText(reason, "method");
    block.from = P::FieldWideText(reason, "from");
    block.uri = P::FieldWideText(reason, "uri");
    return block;
}

CRestPragma ReadPragma(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    const picojson::object& o = root.get<picojson::object>();
    CRestPragma pragma;
    pragma.retransmission = P::FieldFlag(o, "retransmission");
    for (const picojson::value& element : ArrayMember(o, "files"))
        pragma.files.append(P::WideText(element));
    return pragma;
}

QString ReadShareId(const QByteArray& body) {
    const picojson::value root = ParseBody(body);
    return P::FieldWideText(root.get<picojson::object>(), "shareId");
}
