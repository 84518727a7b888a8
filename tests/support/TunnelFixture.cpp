#include "TunnelFixture.h"

#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"
#include "tunnel/PrivilegeInstaller.h"
#include "tunnel/TunnelOwnership.h"

#include <QCoroTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace std::chrono_literals;

TunnelFixture::TunnelFixture(const QString &scenario, std::chrono::milliseconds stopPoll,
                             const std::function<void(AppEnvironment &)> &prepare)
    : prompt(std::make_shared<RecordingAdminPrompt>())
{
    m_helperPath = env.path(QStringLiteral("nimbrel-macos"));
    QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), m_helperPath);
    QFile(m_helperPath).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    prompt->setHelperPath(m_helperPath);
    prompt->setRunner(env.runner);
    env.preferences->setString(QStringLiteral("nimbrelBinaryPath"), m_helperPath);

    setScenario(scenario);
    qputenv("NIMBREL_SIMHELPER_DELAY_MS", "40");
    qputenv("NIMBREL_SIMHELPER_MAX_LIFE_MS", "20000");
    qputenv("NIMBREL_SIMHELPER_RECORD", recordFile().toLocal8Bit());
    qputenv("NIMBREL_SIMHELPER_CLEANUP_SCRIPT", env.tunnelPaths.cleanupScript.toLocal8Bit());
    qputenv("NIMBREL_SIMHELPER_GATEWAY_FILE", env.tunnelPaths.gateway.toLocal8Bit());

    AppEnvironment environment = env.environment();
    environment.intervals.stopPoll = stopPoll;
    environment.platform.adminPrompt = prompt;
    environment.helperPlaces.currentDirectory = env.path(QStringLiteral("cwd"));
    environment.helperPlaces.homeDirectory = env.path(QStringLiteral("home"));
    environment.nodeSource = [this](std::optional<QString>) { return serveNodes(); };
    if (prepare)
        prepare(environment);
    m_vm = std::make_unique<AppViewModel>(environment);

    node.id = 1;
    node.name = QStringLiteral("Test node");
    node.host = QStringLiteral("127.0.0.1");
    node.port = 8443;
    node.sni = QStringLiteral("sni.example");
    node.status = QStringLiteral("ONLINE");
    offer(node);
}

void TunnelFixture::offer(const NodeInfo &offered, const QString &psk)
{
    m_vm->nodeCatalog().clear();
    m_vm->nodeCatalog().take(NodesResponse{QStringLiteral("v1"), psk, QList<NodeInfo>{offered}, false});
}

QCoro::Task<ApiResult<NodesResponse>> TunnelFixture::serveNodes()
{
    co_await QCoro::sleepFor(std::chrono::milliseconds(5)); // an answer comes later, as the service's does
    if (!m_loadsSucceed)
        co_return ApiError{QStringLiteral("test"), 0, QStringLiteral("offline")};
    co_return NodesResponse{QStringLiteral("v1"), QStringLiteral("test-psk-value"), QList<NodeInfo>{node}, false};
}

TunnelFixture::~TunnelFixture()
{
    const qint64 pid = helperPid();
    if (pid > 0 && SystemInfo::isProcessAlive(pid_t(pid)))
        ::kill(pid_t(pid), SIGKILL);
    m_vm.reset();
}

void TunnelFixture::setScenario(const QString &scenario)
{
    qputenv("NIMBREL_SIMHELPER_SCENARIO", scenario.toLocal8Bit());
}

QJsonObject TunnelFixture::helperRecord() const
{
    QFile file(recordFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

qint64 TunnelFixture::helperPid() const
{
    return helperRecord().value(QStringLiteral("pid")).toInteger(-1);
}

void TunnelFixture::installRights()
{
    env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, m_helperPath);
    env.runner->setServedHelper(m_helperPath);
}

bool TunnelFixture::waitIdle(int timeoutMs)
{
    return QTest::qWaitFor([this] { return !m_vm->tunnelBusy(); }, timeoutMs);
}

void TunnelFixture::connectAndSettle()
{
    m_vm->vpnConnect();
    QVERIFY(m_vm->isVpnLoading());
    QCOMPARE(lockState(), QStringLiteral("connecting"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_vm->isVpnLoading(), 10000);
}

void TunnelFixture::disconnectAndSettle(int timeoutMs)
{
    m_vm->vpnDisconnect();
    QCOMPARE(m_vm->vpnStatus(), QStringLiteral("Disconnecting…"));
    QTRY_COMPARE_WITH_TIMEOUT(m_vm->vpnStatus(), QStringLiteral("Disconnected"), timeoutMs);
    QVERIFY(waitIdle());
    QVERIFY(!m_vm->isVpnLoading() && !m_vm->isConnected());
    QCOMPARE(lockState(), QString());
}

QStringList TunnelFixture::controlCalls(const QStringList &verbs) const
{
    QStringList found;
    for (const RecordingPrivilegedRunner::Call &call : env.runner->calls()) {
        if (verbs.contains(call.arguments.value(1)))
            found.append(call.arguments.mid(1).join(QLatin1Char(' ')));
    }
    return found;
}

QString TunnelFixture::lockState() const
{
    const TunnelOwnership other(env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
    return other.otherHolder().value_or(TunnelOwnership::Holder()).state;
}
