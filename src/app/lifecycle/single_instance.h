#pragma once
// One running application per user and display. The first instance listens on a local socket
// named after the user's runtime directory and the X display; a later start finds it, asks it
// to bring its main window to the front, and exits with status 0. A socket left behind by an
// instance that died is removed and taken over.
//
// Main thread only; lives as long as the application.

#include <QObject>
#include <QString>

class QLocalServer;

namespace velurio {

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Role {
        primary,    // listening: this process is the application
        forwarded,  // another instance runs and was asked to show its window
        failed,     // neither (the socket could not be created): run on, alone
    };

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance or hands the start over to the running one.
    Role claim();

    // The socket's path for the current user and display.
    static QString serverName();

  Q_SIGNALS:
    // A later start asked this (primary) instance to show its main window.
    void activationRequested();

  private:
    bool forwardToRunningInstance();
    bool listen();

    QLocalServer* m_server = nullptr;
};

}  // namespace velurio
