#include "NetworkAdapter.h"

#include <net/if.h>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using Record = NetworkAdapter::Record;

const QByteArray kEth0 = QByteArray::fromHex("001a2b3c4d5e");
const QByteArray kEth1 = QByteArray::fromHex("0242ac110002");
const QByteArray kZero6(6, '\0');
const QByteArray kPad(2, '\0');
constexpr unsigned int kUp = IFF_UP | IFF_BROADCAST | IFF_RUNNING;
constexpr unsigned int kLoopback = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;

TEST(NetworkAdapter, PicksFirstUsableAddress) {
    const struct {
        const char* what;
        QList<Record> records;
        QByteArray picked;
    } cases[] = {
        {"no interfaces", {}, {}},
        {"only loopback and zero addresses", {{"lo", kLoopback, kZero6}, {"sit0", 0, kZero6}}, {}},
        {"loopback is skipped even with an address",
         {{"lo", kLoopback, kEth1}, {"eth0", kUp, kEth0}},
         kEth0 + kPad},
        {"zero or no address is skipped",
         {{"dummy0", kUp, kZero6}, {"tun0", kUp, {}}, {"eth1", kUp, kEth1}},
         kEth1 + kPad},
        {"first in order wins, whatever its state",
         {{"eth1", 0, kEth1}, {"eth0", kUp, kEth0}},
         kEth1 + kPad},
        {"8-byte address kept as is",
         {{"fw0", kUp, QByteArray::fromHex("0102030405060708")}},
         QByteArray::fromHex("0102030405060708")},
        {"short address zero-filled",
         {{"arc0", kUp, "\x7f"}},
         QByteArray::fromHex("7f00000000000000")},
        {"only the last byte non-zero still counts",
         {{"eth0", kUp, QByteArray::fromHex("000000000001")}},
         QByteArray::fromHex("0000000000010000")},
        {"long address cut to the field",
         {{"ib0", kUp, QByteArray(20, '\x11')}},
         QByteArray(8, '\x11')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NetworkAdapter::pickHardwareAddress(c.records).toHex(':'), c.picked.toHex(':'))
            << c.what;
}

TEST(NetworkAdapter, ThisMachineGivesFieldOrNothing) {
    const QList<Record> records = NetworkAdapter::list();
    // Every network namespace has a loopback interface.
    EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                            [](const Record& r) { return r.name == "lo"; }));
    for (const Record& r : records)
        EXPECT_TRUE(!r.name.isEmpty() && r.address.size() <= NetworkAdapter::AddressFieldSize);
    const QByteArray field = NetworkAdapter::firstHardwareAddress();
    EXPECT_TRUE(field.isEmpty() || (field.size() == NetworkAdapter::AddressFieldSize &&
                                    field.count('\0') < field.size()));
}

}  // namespace
