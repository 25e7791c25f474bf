#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records filled from the successful replies of the storage service and its
// web tool, and their readers. Every reader parses the body first
// (CRestJsonParser::Parse) and so throws JsonParseError for a body that is not
// a JSON object; a text member that is not UTF-8 throws CTorval2Exception.
//
// Member kinds: texts take the member's text form, so a missing member reads
// "null"; integers read the leading number of that text (0 when there is
// none); flags take the JSON truth value. Sizes and ids that can pass 2^31
// are 64-bit.

// GET /currentPortal.
struct CRestPortal {
    qint32 portalId = 0;
    QString portalCode;
    QString name;
    qint64 storageQuotaSize = 0;
    qint64 storageUsedSize = 0;
    bool locked = false;
};

// GET /currentUser.
struct CRestUser {
    qint32 portalId = 0;
    qint32 userId = 0;
    QString userType;
    QString userCode;
    QString familyName;
    QString firstName;
    QString familyNameKana;
    QString firstNameKana;
    QString mailAddress;
    QString phone1;
    QString phone2;
    QString phone3;
    bool hidden = false;
    bool locked = false;
};

// One repository item, a folder or a file. Only the group of fields that
// matches itemType ("folder" or "file", exactly) is read; the other group
// keeps its empty values.
struct CRestItem {
    qint32 portalId = 0;
    QString itemType;
    qint64 itemId = 0;
    qint32 repositoryId = 0;
    QString path;
    qint64 parentFolderId = 0;
    QString parentFolderPath;
    QString name;
    bool notification = false;
    qint32 creatorUserId = 0;
    QString creatorUserFamilyName;
    QString creatorUserFirstName;
    QString createdTime;
    qint32 modifierUserId = 0;
    QString modifierUserFamilyName;
    QString modifierUserFirstName;
    QString modifiedTime;
    bool hidden = false;

    // From the sub-object "accessPermission"; canCreate for folders only.
    bool canCreate = false;
    bool canRead = false;
    bool canUpdate = false;
    bool canDelete = false;
    bool canAdminister = false;

    // Folders only.
    bool autoRevision = false;
    qint32 childFolderCount = 0;
    qint32 childFileCount = 0;

    // Files only.
    qint64 fileSize = 0;
    bool revisionControlled = false;
    qint32 latestRevisionNumber = 0;
    QString revisionRetentionLimitType;
    qint32 revisionRetentionSize = 0;
    qint32 revisionRetentionDuration = 0;
    bool locked = false;
    qint32 lockerUserId = 0;
    QString lockerUserFamilyName;
    QString lockerUserFirstName;
};

// GET /portal/<id>/options: the "enabled" flag of each entry of "options"
// whose "name" matches exactly; a later entry overwrites an earlier one.
struct CRestOptions {
    bool sharedFolder = false;
    bool mailUpload = false;
    bool auditExtension = false;
    bool document = false;
    bool schedule = false;
    bool bulletin = false;
    bool chat = false;
    bool task = false;
    bool mailUploadBody = false;
    bool autoBlock = false;
};

// GET /portal/<id>/autoBlock, all read inside "reason". The details after
// blocked are read only while blocked is true.
struct CRestAutoBlock {
    // Numbers taken as numbers, not as text: truncated toward zero and
    // clamped to the 32-bit range; a member that is not a number gives 0.
    qint32 blockCount = 0;
    bool blocked = false;
    double duration = 0.0;
    QString userAgent;
    QString userCode;
    qint32 inSize = 0;
    qint32 outSize = 0;
    QString when;
    QString path;
    QString method;
    QString from;
    QString uri;
};

// The web tool's retransmission instruction (pragma.cgi).
struct CRestPragma {
    bool retransmission = false;
    // Each element's text form; empty when "files" is missing or no array.
    QStringList files;
};

CRestPortal ReadPortal(const QByteArray& body);
CRestUser ReadUser(const QByteArray& body);
// The reply to a folder GET: the reply object is the item.
CRestItem ReadItem(const QByteArray& body);
// The reply to a folder's items GET: the elements of "items" in order; a
// missing or non-array "items" gives an empty list, an element that is not an
// object reads as an empty one.
QList<CRestItem> ReadItemList(const QByteArray& body);
CRestOptions ReadOptions(const QByteArray& body);
CRestAutoBlock ReadAutoBlock(const QByteArray& body);
CRestPragma ReadPragma(const QByteArray& body);
// "shareId" of the reply to POST /share ("null" when missing).
QString ReadShareId(const QByteArray& body);
