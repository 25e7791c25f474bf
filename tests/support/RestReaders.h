#pragma once

#include "CRestError.h"
#include "CRestRecords.h"

#include <QByteArray>

#include <functional>
#include <vector>

// Every reader of a reply body, by name, for tests that feed all of them the
// same bodies.
struct RestReader {
    const char* name;
    std::function<void(const QByteArray&)> read;
};

inline const std::vector<RestReader>& RestReaders() {
    static const std::vector<RestReader> readers = {
        {"error", [](const QByteArray& b) { CRestError::FromBody(b); }},
        {"portal", [](const QByteArray& b) { ReadPortal(b); }},
        {"user", [](const QByteArray& b) { ReadUser(b); }},
        {"item", [](const QByteArray& b) { ReadItem(b); }},
        {"items", [](const QByteArray& b) { ReadItemList(b); }},
        {"options", [](const QByteArray& b) { ReadOptions(b); }},
        {"autoBlock", [](const QByteArray& b) { ReadAutoBlock(b); }},
        {"pragma", [](const QByteArray& b) { ReadPragma(b); }},
        {"shareId", [](const QByteArray& b) { ReadShareId(b); }},
    };
    return readers;
}
