// How AppModel treats what the instance says about the session and the pace of requests: rate
// limits (no request before the instance's retry time, and the panel says when the next try is),
// stale lists after a failure, and a session that ended without a sign-out.

#include "core/auth/auth_error.h"
#include "core/auth/token_store.h"
#include "core/platform/time.h"
#include "desktop/models/app_model.h"
#include "desktop/models/session_end.h"

namespace trayline {

void rethrowEndingSession(TokenStore& tokens) {
    try {
        throw;
    } catch (const AuthError& e) {
        bool ended = e.kind() == AuthError::Kind::notSignedIn;
        if (e.kind() == AuthError::Kind::badResponse && (e.status() == 401 || e.status() == 400)) {
            const auto generation = tokens.generation();
            const auto stored = tokens.read();
            // Only the set that was refused goes: one stored meanwhile (a new sign-in, here or in
            // another process) is kept, and the session goes on with it.
            ended = !stored || (e.status() == 401 && !tokens.clearIf(*stored, generation));
        }
        if (ended)
            throw SessionEnded(e.what());
        throw;
    }
}

bool endsSession(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const SessionEnded&) {
        return true;
    } catch (...) {
        return false;
    }
}

QDateTime AppModel::limitedUntil() const {
    if (!limitedUntil_ || *limitedUntil_ <= clock_())
        return {};
    return QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(limitedUntil_->time_since_epoch()).count(), Qt::UTC);
}

std::optional<std::chrono::milliseconds> AppModel::limitWait() const {
    if (!limitedUntil_)
        return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*limitedUntil_ - clock_());
    if (left <= std::chrono::milliseconds(0))
        return std::nullopt;
    return left;
}

bool AppModel::noteRetryAfter(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const AuthError& e) {
        if (!e.retryAfter())
            return false;
        // Several requests of one refresh may be refused: the latest time they name holds.
        if (!limitedUntil_ || e.retryAfter()->at > *limitedUntil_ || !limitWait()) {
            limitedUntil_ = e.retryAfter()->at;
            limitNote_ = e.retryAfter()->note;
        }
        Q_EMIT freshnessChanged();
        return true;
    } catch (...) {
        return false;
    }
}

QString AppModel::nextTryText() const {
    if (!limitedUntil_)
        return {};
    QString text = QStringLiteral("Next try at ") + QString::fromStdString(DateFormatter::current().shortTime(*limitedUntil_));
    if (!limitNote_.empty())
        text += QStringLiteral(" (") + QString::fromStdString(limitNote_) + QLatin1Char(')');
    return text + QLatin1Char('.');
}

void AppModel::setStale(bool stale) {
    if (stale_ == stale)
        return;
    stale_ = stale;
    Q_EMIT freshnessChanged();
}

void AppModel::loseSession() {
    if (!auth_->isSignedIn())
        return;  // already signed out: one loss, one notice
    auth_->endSession();  // a new session: the lists empty, refreshes under way are abandoned
    Q_EMIT sessionLost();
}

}  // namespace trayline
