// The tray item over a real session bus (the binary runs inside dbus-run-session) with a stand-in
// StatusNotifierWatcher in the test: registration whenever a watcher appears, what a host reads
// from the item, Activate, and what happens when the host goes and comes back.

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QLabel>

#include "desktop/platform/status_notifier_item.h"
#include "desktop/platform/tray_host.h"
#include "desktop/ui/tray_icon.h"
#include "qt_test_support.h"

namespace trayline {
namespace {

using namespace std::chrono_literals;
using test::spinUntil;

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

// Takes the watcher's name on a connection of its own; gone (name and connection) when destroyed.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    Watcher() {
        static int made = 0;
        bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("watcher-%1").arg(++made));
        ok = bus_.registerObject("/StatusNotifierWatcher", this,
                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                     QDBusConnection::ExportAllSignals) &&
             bus_.registerService(kWatcher);
    }
    ~Watcher() override {
        bus_.unregisterService(kWatcher);
        QDBusConnection::disconnectFromBus(bus_.name());
    }
    bool hostRegistered() const { return host_; }
    // A host (the panel that draws the items) starts or quits while the watcher stays.
    void setHost(bool host) {
        host_ = host;
        if (host)
            Q_EMIT StatusNotifierHostRegistered();
        else
            Q_EMIT StatusNotifierHostUnregistered();
    }

    bool ok = false;
    QStringList items;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }

Q_SIGNALS:
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    QDBusConnection bus_{QString()};
    bool host_ = true;
};

class ItemOnTheBus : public ::testing::Test {
protected:
    void SetUp() override {
        if (qgetenv("TRAYLINE_PRIVATE_BUS") != "1")
            GTEST_SKIP() << "needs its own session bus: run through ctest (dbus-run-session)";
    }
    void TearDown() override {
        if (host)
            host->hidePanel();
    }
    void startHost(std::chrono::milliseconds wait) {
        host = std::make_unique<TrayHost>(new QLabel(QStringLiteral("content")),
                                          TrayHost::Options{wait, 10ms, QDBusConnection::sessionBus()});
        host->start();
    }
    // Asked the way a host asks: on another connection, without blocking the item's thread.
    QDBusMessage call(const QString& method, const QVariantList& args, const QString& interface) {
        auto message = QDBusMessage::createMethodCall(host->item().serviceName(), StatusNotifierItem::kPath,
                                                      interface, method);
        message.setArguments(args);
        QDBusPendingCall pending = hostBus.asyncCall(message);
        EXPECT_TRUE(spinUntil([&] { return pending.isFinished(); }, 5000)) << method.toStdString();
        return pending.reply();
    }
    QVariant property(const char* name) {
        const QDBusMessage reply = call(QStringLiteral("Get"), {"org.kde.StatusNotifierItem", QString::fromLatin1(name)},
                                        QStringLiteral("org.freedesktop.DBus.Properties"));
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << name << ": " << reply.errorMessage().toStdString();
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    template <class T>
    T structured(const char* name) {
        T value;
        property(name).value<QDBusArgument>() >> value;
        return value;
    }

    QDBusConnection hostBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "host");
    std::unique_ptr<TrayHost> host;
};

TEST_F(ItemOnTheBus, RegistersWheneverAWatcherAppearsAndCarriesWhatAHostReads) {
    startHost(60s);
    const ui::TrayCounts counts{3, 12, false};
    host->setCounts(counts);
    QTest::qWait(100);
    EXPECT_FALSE(host->isTrayVisible());
    EXPECT_FALSE(host->isWindowMode());

    for (int round = 0; round < 2; ++round) {  // a tray that starts late, then restarts
        SCOPED_TRACE(round);
        auto watcher = std::make_unique<Watcher>();
        ASSERT_TRUE(watcher->ok);
        ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));
        EXPECT_EQ(watcher->items, QStringList{host->item().serviceName()});
        watcher.reset();
        ASSERT_TRUE(spinUntil([&] { return !host->isTrayVisible(); }, 5000));
    }
    Watcher watcher;
    ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));

    EXPECT_EQ(property("Status").toString(), "Active");
    EXPECT_EQ(property("XAyatanaLabel").toString(), QString::fromUtf8("3 \u00b7 12"));
    const auto tip = structured<SniToolTip>("ToolTip");
    EXPECT_EQ(tip.title, "Trayline");
    EXPECT_EQ(tip.text, ui::trayToolTip(counts));

    // Every size, each pixel as ARGB in network byte order.
    const auto pixmaps = structured<SniPixmaps>("IconPixmap");
    ASSERT_EQ(pixmaps.size(), static_cast<qsizetype>(ui::kTrayIconSizes.size()));
    const ui::TrayIconPainter painter;
    for (qsizetype i = 0; i < pixmaps.size(); ++i) {
        const int size = ui::kTrayIconSizes[static_cast<std::size_t>(i)];
        const SniPixmap& p = pixmaps[i];
        ASSERT_EQ(std::tuple(p.width, p.height, p.data.size()), std::tuple(size, size, size * size * 4));
        const QImage expected = painter.render(counts, size).convertToFormat(QImage::Format_ARGB32);
        const auto* bytes = reinterpret_cast<const uchar*>(p.data.constData());
        int differing = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x, bytes += 4)
                differing += qRgba(bytes[1], bytes[2], bytes[3], bytes[0]) != expected.pixel(x, y);
        EXPECT_EQ(differing, 0) << size << " px";
    }
    EXPECT_EQ(structured<SniPixmaps>("AttentionIconPixmap"), pixmaps);  // counts stay readable

    host->setNeedsAttention(true);
    EXPECT_TRUE(spinUntil([&] { return property("Status").toString() == "NeedsAttention"; }, 5000));

    call(QStringLiteral("Activate"), {10, 10}, QStringLiteral("org.kde.StatusNotifierItem"));
    ASSERT_TRUE(spinUntil([&] { return host->isPanelVisible(); }, 5000));
    call(QStringLiteral("Activate"), {10, 10}, QStringLiteral("org.kde.StatusNotifierItem"));
    EXPECT_TRUE(spinUntil([&] { return !host->isPanelVisible(); }, 5000));
}

// On KDE the watcher outlives plasmashell, the host: a host that goes away brings the window when
// none is back within the wait, and a host that comes after the window was closed gets the popup.
TEST_F(ItemOnTheBus, AHostThatGoesAwayBringsTheWindowAndOneThatComesLaterThePopup) {
    Watcher watcher;
    ASSERT_TRUE(watcher.ok);
    startHost(1s);
    QSignalSpy unavailable(host.get(), &TrayHost::trayUnavailable);
    ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));
    watcher.setHost(false);
    ASSERT_TRUE(spinUntil([&] { return unavailable.count() == 1; }, 5000));
    EXPECT_TRUE(host->isWindowMode() && host->isPanelVisible());
    host->panel()->close();
    watcher.setHost(true);
    ASSERT_TRUE(spinUntil([&] { return host->isTrayVisible(); }, 5000));
    call(QStringLiteral("Activate"), {10, 10}, QStringLiteral("org.kde.StatusNotifierItem"));
    ASSERT_TRUE(spinUntil([&] { return host->isPanelVisible(); }, 5000));
    EXPECT_FALSE(host->isWindowMode()) << "a click on the tray opens the popup";
}

}  // namespace
}  // namespace trayline

#include "status_notifier_test.moc"
