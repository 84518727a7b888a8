#include "BenchSupport.h"
#include "DevService.h"
#include "api/ApiService.h"
#include "app/TokenStore.h"
#include "platform/PreferenceStore.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>

#include <algorithm>
#include <sys/resource.h>

#ifdef Q_OS_MACOS
#include <mach/mach.h>
#else
#include <unistd.h>
#endif

namespace Bench {

namespace {

QList<Row> g_rows;
QString g_bin;

} // namespace

const QList<Row> &rows()
{
    return g_rows;
}

const QString &binaryFolder()
{
    return g_bin;
}

void setBinaryFolder(const QString &folder)
{
    g_bin = folder;
}

ProcessCounts ProcessCounts::now()
{
    ProcessCounts counts;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval &time) { return qint64(time.tv_sec) * 1000 + time.tv_usec / 1000; };
    counts.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    // Each process sees its own descriptors in /dev/fd, on Linux and on macOS; the listing's own is one.
    counts.fds =
        int(QDir(QStringLiteral("/dev/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) -
        1;
#ifdef Q_OS_MACOS
    mach_task_basic_info_data_t info{};
    mach_msg_type_number_t size = MACH_TASK_BASIC_INFO_COUNT;
    if (task_info(mach_task_self(), MACH_TASK_BASIC_INFO, task_info_t(&info), &size) == KERN_SUCCESS)
        counts.rssKb = qint64(info.resident_size / 1024);
    thread_act_array_t threads = nullptr;
    mach_msg_type_number_t threadCount = 0;
    if (task_threads(mach_task_self(), &threads, &threadCount) == KERN_SUCCESS) {
        counts.threads = int(threadCount);
        for (mach_msg_type_number_t i = 0; i < threadCount; ++i)
            mach_port_deallocate(mach_task_self(), threads[i]);
        vm_deallocate(mach_task_self(), vm_address_t(threads), threadCount * sizeof(thread_t));
    }
#else
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly))
        counts.rssKb = statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE) / 1024;
    counts.threads = int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
#endif
    return counts;
}

void add(Row row)
{
    g_rows.append(std::move(row));
}

// A copy of the simulated helper in folder under the helper's own name, the only name ever offered to
// the administrator (the build's own file has a name of its own, so that no place searched holds it).
QString simulatedHelperIn(const QTemporaryDir &folder)
{
    const QString helper = folder.filePath(QStringLiteral("nimbrel-macos"));
    QFile::copy(g_bin + QStringLiteral("/../tools/nimbrel-simhelper"), helper);
    QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return helper;
}

std::optional<QStringList> signedInState(DevService &service, const QTemporaryDir &state, QString *problem)
{
    const QString settings = state.filePath(QStringLiteral("s.conf"));
    const std::shared_ptr<PreferenceStore> preferences = PreferenceStore::openFile(settings);
    // The demo platform's helper is the simulated one, named by the preference file like any helper.
    preferences->setString(QStringLiteral("nimbrelBinaryPath"), simulatedHelperIn(state));
    QNetworkAccessManager network;
    const ApiService api({&network, service.baseUrl(), std::chrono::seconds(5), 1 << 24});
    const DevService::Account account = service.activeDemoAccount();
    const ApiResult<AuthResponse> signedIn = QCoro::waitFor(api.login(account.email, account.password));
    if (!signedIn) {
        *problem = QStringLiteral("sign-in failed: ") + signedIn.error().message;
        return std::nullopt;
    }
    TokenStore(preferences)
        .save(signedIn.value().accessToken, signedIn.value().refreshToken, account.email, std::nullopt);
    return QStringList{QStringLiteral("--settings"), settings, QStringLiteral("--api-base"),
                       service.baseUrl().toString()};
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QList<NodeInfo> manyNodes(int count, quint16 port)
{
    QList<NodeInfo> nodes;
    nodes.reserve(count);
    for (int i = 1; i <= count; ++i) {
        NodeInfo node;
        node.id = i;
        node.name = QStringLiteral("Node %1").arg(i);
        node.countryCode = QStringLiteral("JP");
        node.countryName = QStringLiteral("Japan");
        node.flagEmoji = QStringLiteral("\U0001F1EF\U0001F1F5");
        node.host = QStringLiteral("127.0.0.1");
        node.port = port;
        node.sni = QStringLiteral("node%1.nimbrel.test").arg(i);
        node.status = i % 10 == 0 ? QStringLiteral("OFFLINE") : QStringLiteral("ONLINE");
        node.loadPercent = i % 100;
        nodes.append(node);
    }
    return nodes;
}

} // namespace Bench
