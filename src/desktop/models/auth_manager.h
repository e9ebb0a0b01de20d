#pragma once

// The observable sign-in state. The sign-in itself (browser, loopback redirect, code exchange)
// runs on a worker thread; only its outcome is applied here, on the main thread.
//
// Nothing here reads the keyring on the main thread: isSignedIn starts false and the queue model
// publishes what the stored token set says once the keyring has answered.
//
// Sign-out wins: it cancels a running sign-in, and its clearing of the stored tokens runs on the same
// single worker as the sign-in, after it. Every sign-in and sign-out starts a new session (`session()`),
// so work that began in an earlier session can tell that its answer is stale.

#include <cstdint>
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
    explicit AuthManager(SignInFlow::Options flowOptions = {}, QObject* parent = nullptr);
    // Ends a sign-in that is still waiting for the browser.
    ~AuthManager() override;

    bool isSignedIn() const { return signedIn_; }
    bool isSigningIn() const { return flow_ != nullptr; }
    // Where sign-ins store and sign-outs clear the token set (the flow options' store).
    TokenStore& tokens() const { return *flowOptions_.tokens; }
    // Bumped by every successful sign-in and every sign-out.
    std::uint64_t session() const { return session_; }
    // A token set read while the stored tokens' generation was below this is stale: the last
    // sign-out's clearing had not gone through yet.
    std::uint64_t clearedGeneration() const { return clearedGeneration_; }

    // Runs the browser sign-in. The future finishes when the token set is stored (isSignedIn is
    // then true) or fails with the flow's own error, whose what() is the text to show. While one
    // runs, a second call returns the running one's future.
    QFuture<void> signIn();
    // Ends a running sign-in early; its future fails with the cancellation error.
    void cancelSignIn();
    // Cancels a running sign-in, clears the stored tokens in the background; isSignedIn turns false
    // at once. A clear the keyring refuses is reported through signOutFailed.
    void signOut();

    // What the stored token set says, as read by the queue model.
    void setSignedIn(bool signedIn);
    // The session is over without a sign-out (the instance refused it, or the tokens are gone):
    // signed out at once, in a new session, and a sign-in still waiting for the browser goes on.
    void endSession();

Q_SIGNALS:
    void isSignedInChanged(bool signedIn);
    void isSigningInChanged(bool signingIn);
    void signInFailed(const QString& message);
    // The keyring kept the stored tokens (locked, its unlock refused): the next read signs in again.
    void signOutFailed(const QString& message);
    // A new session began: signed in as (possibly) someone else, or signed out.
    void sessionChanged();

private:
    SignInFlow::Options flowOptions_;
    bool signedIn_ = false;
    std::uint64_t session_ = 0;
    std::uint64_t clearedGeneration_ = 0;
    std::shared_ptr<SignInFlow> flow_;
    QFuture<void> running_;
    WorkerPool pool_{1};  // sign-in, then sign-out's clear: in the order they were asked for
};

}  // namespace trayline
