#include "NetworkAdapter.h"

#include <net/if.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Record = NetworkAdapter::Record;

QByteArray Bytes(std::initializer_list<unsigned char> bytes) {
    QByteArray b;
    for (unsigned char c : bytes)
        b.append(static_cast<char>(c));
    return b;
}

const QByteArray kEth0 = Bytes({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
const QByteArray kEth1 = Bytes({0x02, 0x42, 0xac, 0x11, 0x00, 0x02});
const QByteArray kZero6 = QByteArray(6, '\0');
constexpr unsigned int kUp = IFF_UP | IFF_BROADCAST | IFF_RUNNING;
constexpr unsigned int kLoopback = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;

TEST(NetworkAdapter, PicksFirstUsableAddress) {
    const struct {
        const char* what;
        QList<Record> records;
        QByteArray picked;
    } cases[] = {
        {"no interfaces", {}, {}},
        {"only loopback", {{"lo", kLoopback, kZero6}}, {}},
        {"loopback is skipped even with an address",
         {{"lo", kLoopback, kEth1}, {"eth0", kUp, kEth0}},
         kEth0 + QByteArray(2, '\0')},
        {"zero address is skipped",
         {{"lo", kLoopback, kZero6}, {"dummy0", kUp, kZero6}, {"eth1", kUp, kEth1}},
         kEth1 + QByteArray(2, '\0')},
        {"interface without address is skipped",
         {{"tun0", kUp, {}}, {"eth0", kUp, kEth0}},
         kEth0 + QByteArray(2, '\0')},
        {"first in order wins",
         {{"eth1", kUp, kEth1}, {"eth0", kUp, kEth0}},
         kEth1 + QByteArray(2, '\0')},
        {"state does not matter",
         {{"eth0", 0, kEth0}, {"eth1", kUp, kEth1}},
         kEth0 + QByteArray(2, '\0')},
        {"8-byte address kept as is",
         {{"fw0", kUp, Bytes({1, 2, 3, 4, 5, 6, 7, 8})}},
         Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {"short address zero-filled",
         {{"arc0", kUp, Bytes({0x7f})}},
         Bytes({0x7f, 0, 0, 0, 0, 0, 0, 0})},
        {"trailing zero bytes still count as non-zero address",
         {{"eth0", kUp, Bytes({0, 0, 0, 0, 0, 1})}},
         Bytes({0, 0, 0, 0, 0, 1, 0, 0})},
        {"long address cut to the field",
         {{"ib0", kUp, QByteArray(20, '\x11')}},
         QByteArray(8, '\x11')},
        {"only loopback and zero addresses", {{"lo", kLoopback, kZero6}, {"sit0", 0, kZero6}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(NetworkAdapter::pickHardwareAddress(c.records).toHex(':'), c.picked.toHex(':'));
    }
}

TEST(NetworkAdapter, ThisMachineGivesFieldOrNothing) {
    const QList<Record> records = NetworkAdapter::list();
    for (const Record& r : records) {
        SCOPED_TRACE(r.name.toStdString());
        EXPECT_FALSE(r.name.isEmpty());
        EXPECT_LE(r.address.size(), NetworkAdapter::AddressFieldSize);
    }
    const QByteArray field = NetworkAdapter::firstHardwareAddress();
    if (field.isEmpty())
        return;
    EXPECT_EQ(field.size(), NetworkAdapter::AddressFieldSize);
    EXPECT_TRUE(std::any_of(field.cbegin(), field.cend(), [](char c) { return c != 0; }));
}

}  // namespace
