#pragma once
// One running copy per user: the running copy listens on a local socket in the user's
// runtime folder, and a copy started later asks it through that socket to come to the front
// before it exits.
//
// GUI thread of the running copy; owned by main for the life of the program.

#include <QObject>
#include <QString>

class QLocalServer;

class single_instance_c : public QObject {
    Q_OBJECT
  public:
    explicit single_instance_c(const QString& socket_path, QObject* parent = nullptr);
    ~single_instance_c() override;

    // Listens for later copies; false when the socket cannot be made (the program then
    // runs on, only without being raised). Call only while holding the single-copy lock:
    // a socket left by a copy that died is removed first.
    bool listen();
    // From a later copy: asks the running copy to come to the front; true when it answered.
    static bool notify_running(const QString& socket_path, int timeout_ms = 1000);

  signals:
    void raise_requested();

  private:
    void on_new_connection();

    QString socket_path;
    QLocalServer* server = nullptr;
};
