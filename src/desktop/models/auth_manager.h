#pragma once

// The observable sign-in state. The sign-in itself (browser, loopback redirect, code exchange)
// runs on a worker thread; only its outcome is applied here, on the main thread.

#include <memory>

#include <QFuture>
#include <QObject>
#include <QString>

#include "core/auth/sign_in.h"
#include "desktop/models/background.h"

namespace trayline {

class AuthManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY isSignedInChanged)
    Q_PROPERTY(bool isSigningIn READ isSigningIn NOTIFY isSigningInChanged)

public:
    // isSignedIn starts as whether a token set can be loaded now.
    explicit AuthManager(SignInFlow::Options flowOptions = {}, QObject* parent = nullptr);
    // Ends a sign-in that is still waiting for the browser.
    ~AuthManager() override;

    bool isSignedIn() const { return signedIn_; }
    bool isSigningIn() const { return flow_ != nullptr; }

    // Runs the browser sign-in. The future finishes when the token set is stored (isSignedIn is
    // then true) or fails with the flow's own error, whose what() is the text to show. While one
    // runs, a second call returns the running one's future.
    QFuture<void> signIn();
    // Ends a running sign-in early; its future fails with the cancellation error.
    void cancelSignIn();
    // Clears the stored tokens in the background; isSignedIn turns false at once.
    void signOut();

    // The refresh cycle re-derives the flag from the stored token set on every refresh.
    void setSignedIn(bool signedIn);

Q_SIGNALS:
    void isSignedInChanged(bool signedIn);
    void isSigningInChanged(bool signingIn);
    void signInFailed(const QString& message);

private:
    SignInFlow::Options flowOptions_;
    bool signedIn_;
    std::shared_ptr<SignInFlow> flow_;
    QFuture<void> running_;
    WorkerPool pool_{2};  // the sign-in and the sign-out's clear
};

}  // namespace trayline
