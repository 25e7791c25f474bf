// libsecret first: its GLib headers use names that Qt defines as macros.
#include <libsecret/secret.h>

#include "SecretServiceStore.h"

#include <QByteArray>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Cancels a libsecret call that has not returned within the time limit.
class Deadline {
public:
    explicit Deadline(int timeoutMs) : cancellable_(g_cancellable_new()) {
        watcher_ = std::thread([this, timeoutMs] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return over_; }))
                g_cancellable_cancel(cancellable_);
        });
    }
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        done_.notify_one();
        watcher_.join();
        g_object_unref(cancellable_);
    }
    GCancellable* cancellable() const { return cancellable_; }

private:
    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread watcher_;
};

// The record's attributes as libsecret takes them: texts, the port in decimal.
GHashTable* Attributes(const NetworkPasswordRecord& record) {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    auto put = [table](const char* name, const QString& value) {
        if (!value.isEmpty())
            g_hash_table_insert(table, g_strdup(name), g_strdup(value.toUtf8().constData()));
    };
    put("user", record.user);
    put("server", record.server);
    put("protocol", record.protocol);
    put("object", record.object);
    put("authtype", record.authtype);
    if (record.port > 0)
        put("port", QString::number(record.port));
    return table;
}

QString TakeError(GError* error) {
    if (!error)
        return QStringLiteral("unknown error");
    const QString text = QString::fromUtf8(error->message);
    g_error_free(error);
    return text;
}

}  // namespace

bool SecretServiceStore::store(const NetworkPasswordRecord& record, const QString& label,
                               const QString& password, int timeoutMs, QString* error) {
    QByteArray secret = password.toUtf8();
    GHashTable* attributes = Attributes(record);
    GError* failure = nullptr;
    gboolean ok = FALSE;
    {
        Deadline deadline(timeoutMs);
        ok = secret_password_storev_sync(SECRET_SCHEMA_COMPAT_NETWORK, attributes,
                                         SECRET_COLLECTION_DEFAULT, label.toUtf8().constData(),
                                         secret.constData(), deadline.cancellable(), &failure);
    }
    g_hash_table_unref(attributes);
    // The secret does not stay in memory longer than the call.
    secret.fill('\0');
    if (!ok && error)
        *error = TakeError(failure);
    else if (failure)
        g_error_free(failure);
    return ok;
}

std::optional<QString> SecretServiceStore::lookup(const NetworkPasswordRecord& record,
                                                  int timeoutMs) {
    GHashTable* attributes = Attributes(record);
    GError* failure = nullptr;
    gchar* secret = nullptr;
    {
        Deadline deadline(timeoutMs);
        secret = secret_password_lookupv_sync(SECRET_SCHEMA_COMPAT_NETWORK, attributes,
                                              deadline.cancellable(), &failure);
    }
    g_hash_table_unref(attributes);
    if (failure)
        g_error_free(failure);
    if (!secret)
        return std::nullopt;
    const QString text = QString::fromUtf8(secret);
    secret_password_free(secret);
    return text;
}
