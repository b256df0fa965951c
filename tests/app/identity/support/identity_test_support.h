// Helpers for the identity tests: a Qt application object, running a coroutine to completion
// (tests only: the app itself never blocks on one), temporary directories and log capture.
#pragma once

#include "platform/keychain/secret_store.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>

namespace velurio::test {

inline void ensureApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "velurio_identity_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);  // lives for the whole test run
    }
}

template <class T>
QCoro::Task<void> storeResult(QCoro::Task<T> task, std::optional<T>& out) {
    out.emplace(co_await std::move(task));
}

// Results need not be default-constructible, which QCoro::waitFor would require.
template <class T>
T await(QCoro::Task<T>&& task) {
    std::optional<T> result;
    QCoro::waitFor(storeResult(std::move(task), result));
    return std::move(*result);
}
inline void await(QCoro::Task<void>&& task) {
    QCoro::waitFor(std::move(task));
}

// Every message Qt logs while it is alive, whatever its category or level.
class LogCapture {
  public:
    LogCapture() {
        s_active = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const QStringList& messages() const { return m_messages; }
    bool contains(const QString& text) const {
        for (const QString& message : m_messages) {
            if (message.contains(text)) {
                return true;
            }
        }
        return false;
    }

  private:
    static void handler(QtMsgType, const QMessageLogContext& context, const QString& message) {
        if (s_active != nullptr) {
            s_active->m_messages.append(
                QString::fromLatin1(context.category ? context.category : "") +
                QStringLiteral(": ") + message);
        }
    }
    QtMessageHandler m_previous = nullptr;
    QStringList m_messages;
    static inline LogCapture* s_active = nullptr;
};

// A store made fresh for each test, with no item of the identity services in it.
using StoreFactory = std::function<std::unique_ptr<SecretStore>()>;

struct StoreParam {
    const char* name;
    StoreFactory make;
};
inline void PrintTo(const StoreParam& param, std::ostream* out) {
    *out << param.name;
}

}  // namespace velurio::test
