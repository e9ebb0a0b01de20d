#include "desktop/models/auth_manager.h"

#include <QPromise>

#include "core/auth/callback_server.h"
#include "core/auth/token_store.h"

namespace trayline {

AuthManager::AuthManager(SignInFlow::Options flowOptions, QObject* parent)
    : QObject(parent), flowOptions_(std::move(flowOptions)) {
    if (!flowOptions_.tokens)
        flowOptions_.tokens = &TokenStore::shared();
}

AuthManager::~AuthManager() {
    if (flow_)
        flow_->cancel();  // the worker then ends promptly; its outcome is dropped with this object
}

void AuthManager::setSignedIn(bool signedIn) {
    if (signedIn_ == signedIn)
        return;
    signedIn_ = signedIn;
    Q_EMIT isSignedInChanged(signedIn_);
}

void AuthManager::endSession() {
    ++session_;
    setSignedIn(false);
    Q_EMIT sessionChanged();
}

QFuture<void> AuthManager::signIn() {
    if (flow_)
        return running_;
    flow_ = std::make_shared<SignInFlow>(flowOptions_);
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    running_ = promise->future();
    Q_EMIT isSigningInChanged(true);
    inBackground(pool_.get(), this, [flow = flow_] { flow->run(); },
                 [this, promise, flow = flow_](Outcome<Done> outcome) {
                     const bool current = flow_ == flow;  // else a sign-out ended it meanwhile
                     if (current) {
                         flow_.reset();
                         Q_EMIT isSigningInChanged(false);
                     }
                     if (!current && !outcome.error) {
                         // Stored just before the sign-out; the clear queued behind it removes it.
                         promise->setException(std::make_exception_ptr(CallbackCancelled()));
                     } else if (outcome.error) {
                         Q_EMIT signInFailed(errorText(outcome.error));
                         promise->setException(outcome.error);
                     } else {
                         ++session_;
                         setSignedIn(true);
                         Q_EMIT sessionChanged();
                     }
                     promise->finish();
                 });
    return running_;
}

void AuthManager::cancelSignIn() {
    if (flow_)
        flow_->cancel();
}

void AuthManager::signOut() {
    if (flow_) {
        flow_->cancel();  // it stores nothing now; its future fails with the cancellation
        flow_.reset();
        Q_EMIT isSigningInChanged(false);
    }
    ++session_;
    clearedGeneration_ = tokens().generation() + 1;  // what the clear below reaches
    inBackground(pool_.get(), this, [write = pendingWrite(), store = flowOptions_.tokens] { return store->clear(); },
                 [this](Outcome<bool> cleared) {
                     if (cleared.error || !*cleared.value)
                         Q_EMIT signOutFailed(QStringLiteral(
                             "Couldn't sign out: the keyring did not let Trayline delete the stored sign-in."));
                 });
    setSignedIn(false);
    Q_EMIT sessionChanged();
}

}  // namespace trayline
