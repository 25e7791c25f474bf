#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Stand-in for the system's network adapter list.
class NetworkAdapter {
public:
    // Size of the hardware address field every adapter record carries.
    static constexpr qsizetype AddressFieldSize = 8;

    // One interface as the system lists it.
    struct Record {
        QString name;
        unsigned int flags = 0;  // IFF_* bits
        QByteArray address;      // the hardware address bytes the system reports
    };

    // The address field of the first adapter the system lists, or empty when
    // there is none or the list cannot be read.
    static QByteArray firstHardwareAddress();

    // The selection rule of firstHardwareAddress: the first record, in list
    // order, that is not a loopback interface and has a non-zero address;
    // its address is cut or zero-filled to AddressFieldSize bytes.
    static QByteArray pickHardwareAddress(const QList<Record>& records);

    // Interfaces with a link-layer address, in the system's enumeration order.
    static QList<Record> list();
};
