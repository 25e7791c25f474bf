// Seeded random mutations of valid replies, fed to every reader: each must
// return or throw one of the two failures callers handle (JsonParseError,
// CTorval2Exception). Crashes, hangs and sanitizer reports are the faults
// this looks for; the seed is fixed so a failure repeats.

#include "CRestJsonParser.h"
#include "CTorval2Exception.h"
#include "RestReaders.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace {

constexpr int kIterationsPerSeed = 250;

const char* const kSeeds[] = {
    "{\"statusCode\":500,\"errorCode\":\"PORTAL_INSUFFICIENT_STORAGE\","
    "\"errorMessage\":\"容量不足\",\"errorParameters\":[\"a\",\"b\"],\"resultDetails\":null}",
    "{\"portalId\":12,\"portalCode\":\"velmora\",\"name\":\"ヴェルモラ\","
    "\"storageQuotaSize\":5497558138880,\"storageUsedSize\":1024,\"locked\":false}",
    "{\"portalId\":3,\"userId\":77,\"userType\":\"ADMIN\",\"userCode\":\"u001\","
    "\"familyName\":\"山田\",\"firstName\":\"太郎\",\"phone2\":null,\"hidden\":1,\"locked\":"
    "\"no\"}",
    "{\"portalId\":1,\"itemType\":\"folder\",\"itemId\":8589934592,\"path\":\"/Docs/年次\","
    "\"parentFolderId\":30,\"name\":\"年次\",\"accessPermission\":{\"canCreate\":true,"
    "\"canRead\":true},\"autoRevision\":true,\"childFolderCount\":3,\"childFileCount\":\"12\"}",
    "{\"items\":[{\"itemType\":\"file\",\"itemId\":31,\"name\":\"a b.txt\",\"fileSize\":5368709120,"
    "\"locked\":true,\"lockerUserFamilyName\":\"鈴木\",\"accessPermission\":{\"canDelete\":1}},"
    "{\"itemType\":\"folder\",\"name\":\"b\"}]}",
    "{\"options\":[{\"name\":\"chat\",\"enabled\":true},{\"name\":\"autoBlock\",\"enabled\":1},"
    "{\"name\":\"mailUploadBody\",\"enabled\":false}]}",
    "{\"reason\":{\"blockCount\":3,\"blocked\":true,\"duration\":12.5,\"userAgent\":\"UA\","
    "\"inSize\":100,\"outSize\":200,\"when\":\"2024-02-08\",\"path\":\"/Docs\",\"method\":\"PUT\","
    "\"from\":\"192.0.2.1\",\"uri\":\"/dav\"}}",
    "{\"retransmission\":1,\"files\":[\"C:\\\\Data\\\\a.txt\",\"日本.doc\"],\"shareId\":\"Ab3\"}",
};

// Fragments that tend to reach the parser's and readers' corners.
// clang-format off
const char* const kFragments[] = {
    "[", "]", "{", "}", "\"", ",", ":", "\\", "\\u", "\\ud800", "\\udc00", "\\u0000", "1e999",
    "-", "-0", "1e20", "0.1", "null", "true", "\xff", "\xc3", "\xe6\x97", "\xed\xa0\x80",
    "\xc0\xaf", "\"itemType\":\"file\",", "\"itemType\":\"folder\",", "\"blocked\":true,",
    "\"accessPermission\":5,", "\"items\":[5],", "\"files\":[{}],", "\"options\":[[]],",
    "\"reason\":[],", "\"errorParameters\":[1,{}],"};
// clang-format on

using ReaderFunction = std::function<void(const QByteArray&)>;

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : random_(seed) {}

    QByteArray Mutate(QByteArray body) {
        const int steps = Below(4) + 1;
        for (int i = 0; i < steps; ++i)
            MutateOnce(body);
        return body;
    }

private:
    int Below(qsizetype n) {
        return n <= 0 ? 0 : int(std::uniform_int_distribution<qsizetype>(0, n - 1)(random_));
    }

    void MutateOnce(QByteArray& body) {
        const qsizetype at = Below(body.size() + 1);
        switch (Below(8)) {
            case 0:  // flip one bit
                if (!body.isEmpty()) {
                    const qsizetype i = Below(body.size());
                    body[i] = char(body[i] ^ (1 << Below(8)));
                }
                break;
            case 1:  // any byte
                if (!body.isEmpty())
                    body[Below(body.size())] = char(Below(256));
                break;
            case 2:  // cut the end
                body.truncate(at);
                break;
            case 3:  // drop a stretch
                body.remove(at, Below(16) + 1);
                break;
            case 4:
            case 5:  // insert a fragment
                body.insert(at, kFragments[Below(std::size(kFragments))]);
                break;
            case 6: {  // repeat a stretch
                const QByteArray stretch = body.mid(at, Below(24) + 1);
                body.insert(at, stretch);
                break;
            }
            case 7: {  // nest deeply, around the limit or far past it
                static const int depths[] = {int(CRestJsonParser::kMaxDepth) - 2,
                                             int(CRestJsonParser::kMaxDepth) + 1, 1500};
                const int depth = depths[Below(std::size(depths))];
                const bool objects = Below(2) == 0;
                const QByteArray open = objects ? "{\"a\":" : "[";
                const QByteArray close = objects ? "}" : "]";
                body.insert(at,
                            open.repeated(depth) + "0" + (Below(2) ? close.repeated(depth) : ""));
                break;
            }
        }
    }

    std::mt19937 random_;
};

// What a reader did with one body.
enum class Outcome { Returned, ParseError, ConversionError };

Outcome ReadOnce(const ReaderFunction& read, const QByteArray& body) {
    try {
        read(body);
        return Outcome::Returned;
    } catch (const JsonParseError& e) {
        EXPECT_STREQ(e.what(), "failed to parse json.");
        return Outcome::ParseError;
    } catch (const CTorval2Exception& e) {
        EXPECT_EQ(e.code(), QStringLiteral("CONVERT_ENCODING_ERROR"));
        return Outcome::ConversionError;
    }
    // Anything else escapes and fails the test with its type and text.
}

TEST(RestReaderFuzzTest, MutatedRepliesReturnOrFailCleanly) {
    TempDataHome home;
    Mutator mutator(20240208u);
    int outcomes[3] = {0, 0, 0};
    for (int iteration = 0; iteration < kIterationsPerSeed; ++iteration) {
        for (const char* seed : kSeeds) {
            const QByteArray body = mutator.Mutate(QByteArray(seed));
            for (const auto& [name, read] : RestReaders()) {
                SCOPED_TRACE(std::string(name) + " on " + body.left(200).toStdString());
                ++outcomes[int(ReadOnce(read, body))];
            }
        }
    }
    // The mutations must reach all three ends, or they test too little.
    EXPECT_GT(outcomes[int(Outcome::Returned)], 0);
    EXPECT_GT(outcomes[int(Outcome::ParseError)], 0);
    EXPECT_GT(outcomes[int(Outcome::ConversionError)], 0);
}

TEST(RestReaderFuzzTest, UnmutatedSeedsAreReadable) {
    TempDataHome home;
    for (const char* seed : kSeeds)
        for (const auto& [name, read] : RestReaders())
            EXPECT_EQ(ReadOnce(read, seed), Outcome::Returned) << name << " on " << seed;
}

}  // namespace
