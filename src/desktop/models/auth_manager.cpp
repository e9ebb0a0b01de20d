#include "desktop/models/auth_manager.h"

#include <QPromise>

#include "core/auth/token_store.h"
#include "desktop/models/background.h"

namespace trayline {

AuthManager::AuthManager(SignInFlow::Options flowOptions, QObject* parent)
    : QObject(parent), flowOptions_(std::move(flowOptions)), signedIn_(TokenStore::load().has_value()) {}

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

QFuture<void> AuthManager::signIn() {
    if (flow_)
        return running_;
    flow_ = std::make_shared<SignInFlow>(flowOptions_);
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    running_ = promise->future();
    Q_EMIT isSigningInChanged(true);
    inBackground(pool_.get(), this, [flow = flow_] { flow->run(); }, [this, promise](Outcome<Done> outcome) {
        flow_.reset();
        Q_EMIT isSigningInChanged(false);
        if (outcome.error) {
            Q_EMIT signInFailed(errorText(outcome.error));
            promise->setException(outcome.error);
        } else {
            setSignedIn(true);
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
    runOutcome(pool_.get(), [] { TokenStore::shared().clear(); });
    setSignedIn(false);
}

}  // namespace trayline
