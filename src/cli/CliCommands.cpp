#include "CliCommands.h"

#include "CliFormat.h"
#include "CliSession.h"
#include "app/AppSwitches.h"
#include "app/AppViewModel.h"
#include "TerminalText.h"
#include "app/SupportReport.h"
#include "i18n/LanguageManager.h"
#include "platform/LoginItem.h"
#include "platform/PreferenceStore.h"
#include "platform/TerminalInput.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

using namespace CliFormat;

CliCommands::CliCommands(AppViewModel &vm, CliSession &session, const CliOutput &out, const CliRequest &request,
                         QString instanceSocket)
    : m_vm(vm)
    , m_session(session)
    , m_out(out)
    , m_request(request)
    , m_instanceSocket(std::move(instanceSocket))
    , m_tunnelOwnership(vm.tunnel().ownership())
{}


int CliCommands::run()
{
    using Handler = int (CliCommands::*)();
    static const QHash<QString, Handler> handlers{
        {QStringLiteral("status"), &CliCommands::status},
        {QStringLiteral("login"), &CliCommands::login},
        {QStringLiteral("register"), &CliCommands::registerAccount},
        {QStringLiteral("logout"), &CliCommands::logout},
        {QStringLiteral("nodes"), &CliCommands::nodes},
        {QStringLiteral("ping"), &CliCommands::ping},
        {QStringLiteral("select"), &CliCommands::select},
        {QStringLiteral("mode"), &CliCommands::mode},
        {QStringLiteral("language"), &CliCommands::language},
        {QStringLiteral("connect"), &CliCommands::connect},
        {QStringLiteral("disconnect"), &CliCommands::disconnect},
        {QStringLiteral("config"), &CliCommands::config},
        {QStringLiteral("report"), &CliCommands::report},
        {QStringLiteral("__node-ids"), &CliCommands::listedNodeIds},
    };
    const Handler handler = handlers.value(m_request.command);
    return handler ? (this->*handler)() : usageError(QStringLiteral("unknown command \"%1\"").arg(m_request.command));
}

int CliCommands::usageError(const QString &text) const
{
    m_out.error(text);
    return ExitUsage;
}

int CliCommands::failure(const QString &text) const
{
    m_out.error(text);
    return ExitFailure;
}

std::optional<int> CliCommands::openSession(Nodes nodes)
{
    m_vm.tryAutoLogin();
    if (!m_vm.accessToken())
        return failure(localized(QStringLiteral("cli_login_first")));
    // The account load ends on the home screen, or signed out when the session could not be renewed.
    if (!m_session.waitUntil([this] { return m_vm.screen() == AppViewModel::Screen::Home || !m_vm.accessToken(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (!m_vm.accessToken())
        return failure(localized(QStringLiteral("cli_session_ended")));
    if (m_session.userDataError())
        return failure(formatted(QStringLiteral("cli_account_failed"), *m_session.userDataError()));
    if (!m_vm.subscriptionActive()) {
        if (nodes == Nodes::Required) // where to subscribe, without the token the app's button sends
            return failure(formatted(QStringLiteral("cli_subscribe_at"), m_vm.subscribePage()));
        return std::nullopt;
    }
    if (!m_session.waitUntil([this] { return !m_vm.nodesLoading(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (nodes == Nodes::Required && m_vm.nodesError())
        return failure(formatted(QStringLiteral("nodes_load_failed"), *m_vm.nodesError()));
    return std::nullopt;
}

const NodeInfo *CliCommands::requireListed(qint64 id)
{
    const NodeInfo *node = m_vm.listedNode(id);
    if (!node)
        m_out.error(formatted(QStringLiteral("cli_no_such_node"), QString::number(id)));
    return node;
}

int CliCommands::finishSignIn()
{
    if (!m_session.waitUntil([this] { return !m_vm.authLoading(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (m_vm.authError())
        return failure(*m_vm.authError());
    if (!m_session.waitUntil([this] { return !m_vm.nodesLoading(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    m_out.line(formatted(QStringLiteral("cli_signed_in_as"), accountName()));
    printStatus(tunnelJson());
    return ExitSuccess;
}

QString CliCommands::accountName() const
{
    const QString email = m_vm.userEmail().value_or(QString());
    const QString nickname = m_vm.userNickname().value_or(QString());
    return nickname.isEmpty() ? email : QStringLiteral("%1 (%2)").arg(email, nickname);
}

std::optional<CliCommands::Credentials> CliCommands::readCredentials(const QString &usage, int *exitCode) const
{
    const QString email = m_request.operands.value(0).trimmed();
    if (email.isEmpty()) {
        *exitCode = usageError(usage);
        return std::nullopt;
    }
    const std::optional<QString> password =
        TerminalInput::readSecret(localized(QStringLiteral("password_label")) + QStringLiteral(": "));
    if (!password || password->isEmpty()) {
        *exitCode = usageError(QStringLiteral("no password on standard input"));
        return std::nullopt;
    }
    return Credentials{email, *password};
}

int CliCommands::login()
{
    int exitCode = ExitSuccess;
    const std::optional<Credentials> credentials =
        readCredentials(QStringLiteral("usage: nimbrel-cli login EMAIL"), &exitCode);
    if (!credentials)
        return exitCode;
    m_vm.login(credentials->email, credentials->password);
    return finishSignIn();
}

int CliCommands::registerAccount()
{
    int exitCode = ExitSuccess;
    const std::optional<Credentials> credentials =
        readCredentials(QStringLiteral("usage: nimbrel-cli register EMAIL [--nickname N]"), &exitCode);
    if (!credentials)
        return exitCode;
    const QString &password = credentials->password;
    if (TerminalInput::isInteractive()) {
        const std::optional<QString> again =
            TerminalInput::readSecret(localized(QStringLiteral("confirm_password")) + QStringLiteral(": "));
        if (again != password)
            return usageError(localized(QStringLiteral("password_mismatch")));
    }
    if (!AppViewModel::passwordLongEnough(password))
        return usageError(
            formatted(QStringLiteral("cli_password_too_short"), QString::number(AppViewModel::kMinimumPasswordLength)));
    m_vm.registerAccount(credentials->email, password, m_request.nickname.value_or(QString()));
    return finishSignIn();
}

int CliCommands::logout()
{
    if (m_vm.restoreStoredSession()) {
        m_vm.logout();
        if (!m_session.waitUntil([this] { return !m_vm.accessToken(); }))
            return failure(localized(QStringLiteral("cli_interrupted")));
    }
    m_out.line(localized(QStringLiteral("cli_signed_out")));
    m_out.document({{QStringLiteral("signedIn"), false}});
    return ExitSuccess;
}

int CliCommands::config()
{
    const AppSwitches switches(m_vm.environment().preferences,
                               QCoreApplication::applicationDirPath() + QStringLiteral("/nimbrel"));
    QList<AppSwitches::Switch> shown = AppSwitches::all();
    if (!m_request.operands.isEmpty()) {
        const std::optional<AppSwitches::Switch> which = AppSwitches::fromKey(m_request.operands.first());
        const QString value = m_request.operands.value(1);
        if (!which || (m_request.operands.size() > 1 && value != QLatin1String("on") && value != QLatin1String("off")))
            return usageError(
                QStringLiteral("usage: nimbrel-cli config [%1 [on|off]]").arg(AppSwitches::keys().join(u'|')));
        if (m_request.operands.size() > 1 && !switches.set(*which, value == QLatin1String("on")))
            return failure(QStringLiteral("cannot write %1").arg(LoginItem::autostartEntryPath()));
        shown = {*which};
    }
    QJsonObject document;
    for (AppSwitches::Switch which : shown) {
        const bool on = switches.isOn(which);
        m_out.line(
            QStringLiteral("%1 %2  %3")
                .arg(AppSwitches::key(which), -16)
                .arg(on ? QStringLiteral("on ") : QStringLiteral("off"), localized(AppSwitches::labelKey(which))));
        document.insert(AppSwitches::key(which), on);
    }
    m_out.document(document);
    return ExitSuccess;
}

int CliCommands::report()
{
    // Signed in, the key of a node-list load is known too, so it is redacted as well.
    if (m_vm.restoreStoredSession()) {
        if (const std::optional<int> failed = openSession(Nodes::IfSubscribed))
            return *failed;
    }
    const QString report =
        SupportReport::compose(SupportReport::session(m_vm, tunnelJson().value(QStringLiteral("status")).toString()),
                               m_vm.tunnel().diagnostician());
    std::fputs(TerminalText::safe(report, TerminalText::Lines::Kept).toUtf8().constData(), stdout);
    return ExitSuccess;
}

int CliCommands::mode()
{
    if (!m_request.operands.isEmpty()) {
        const std::optional<AppViewModel::RoutingMode> mode = RoutingModes::fromRawValue(m_request.operands.first());
        if (!mode)
            return usageError(QStringLiteral("usage: nimbrel-cli mode [safe|smart]"));
        m_vm.chooseRoutingMode(*mode);
    }
    m_out.line(formatted(QStringLiteral("cli_routing_mode_is"), m_vm.routingModeName()));
    m_out.document({{QStringLiteral("routingMode"), m_vm.routingModeName()}});
    return ExitSuccess;
}

int CliCommands::language()
{
    LanguageManager &languages = LanguageManager::shared();
    if (!m_request.operands.isEmpty() && !languages.setLanguageCode(m_request.operands.first()))
        return usageError(QStringLiteral("usage: nimbrel-cli language [en|zh-CN|zh-TW|ru]"));
    m_out.line(formatted(QStringLiteral("cli_language_is"), AppLanguages::displayName(languages.language())));
    m_out.document({{QStringLiteral("language"), languages.languageCode()}});
    return ExitSuccess;
}
