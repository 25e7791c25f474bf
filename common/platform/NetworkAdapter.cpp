#include "NetworkAdapter.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>

QByteArray NetworkAdapter::firstHardwareAddress() {
    return pickHardwareAddress(list());
}

QByteArray NetworkAdapter::pickHardwareAddress(const QList<Record>& records) {
    for (const Record& r : records) {
        if (r.flags & IFF_LOOPBACK)
            continue;
        QByteArray field = r.address.left(AddressFieldSize);
        // Interfaces without a real link-layer address (tunnels, some
        // virtual devices) report no bytes or zeros; they identify nothing.
        if (std::all_of(field.cbegin(), field.cend(), [](char c) { return c == 0; }))
            continue;
        field.append(AddressFieldSize - field.size(), '\0');
        return field;
    }
    return {};
}

QList<NetworkAdapter::Record> NetworkAdapter::list() {
    QList<Record> records;
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0)
        return records;
    for (const ifaddrs* ifa = head; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_PACKET)
            continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
        // sll_halen may exceed the 8 bytes of sll_addr (e.g. InfiniBand).
        const int length = std::min<int>(ll->sll_halen, sizeof ll->sll_addr);
        records.append({QString::fromLocal8Bit(ifa->ifa_name), ifa->ifa_flags,
                        QByteArray(reinterpret_cast<const char*>(ll->sll_addr), length)});
    }
    freeifaddrs(head);
    return records;
}
