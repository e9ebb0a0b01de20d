#pragma once

#include <QString>

namespace trayline {

// Where desktop notifications go. The identifier names one visible notification: a later post
// with the same identifier replaces the earlier one instead of adding a second.
class Notifier {
public:
    virtual ~Notifier() = default;
    // Asks the service once for what it can show; the answer and any error are ignored.
    virtual void requestPermission() = 0;
    // Posts at once, with the default sound. Failures are not reported.
    virtual void send(const QString& title, const QString& body, const QString& identifier) = 0;

protected:
    Notifier() = default;
    Notifier(const Notifier&) = default;
    Notifier& operator=(const Notifier&) = default;
};

}  // namespace trayline
