#include "TunnelLaunch.h"

#include "PrivilegeInstaller.h"

#include <QFile>

namespace {

// How long a started helper's exec may take before its command line can be read.
constexpr std::chrono::milliseconds kIdentityLimit{500};

TunnelLaunch::Result cancelled()
{
    TunnelLaunch::Result result;
    result.cancelled = true;
    return result;
}

TunnelLaunch::Result failed(TunnelCause cause)
{
    TunnelLaunch::Result result;
    result.failure = std::move(cause);
    return result;
}

} // namespace

TunnelLaunch::Result TunnelLaunch::run() const
{
    if (previous && !previous->run()) {
        // It may still run (and the control program starts no second helper): it stays on record.
        lease->setHelper(HelperRecord{*previous->pid, previous->identity, previous->host, previous->mode});
        lease->setState(TunnelPhase::failed);
        return failed(TunnelReason::stopFailed);
    }
    if (previous)
        lease->setHelper(std::nullopt);
    if (ticket->cancelled)
        return cancelled();
    if (!installer->checkPrivilegesInstalled(helperPath)) {
        const PrivilegeInstaller::Outcome outcome = installer->doInstallPrivileges(helperPath, userId);
        if (outcome != PrivilegeInstaller::Outcome::Installed)
            return failed(outcome == PrivilegeInstaller::Outcome::Refused ? TunnelReason::privilegesRefused
                                                                          : TunnelReason::cancelled);
    }
    if (ticket->cancelled)
        return cancelled();
    QFile::remove(pidPath);
    FileProblem problem;
    auto log = std::make_shared<TunnelLog>(TunnelLog::create(logPath, &problem));
    if (!log->isValid())
        return failed(TunnelCause(TunnelReason::launchFailed, problem));
    // The control program starts root's copy of the helper; what runs here is the sudo above it.
    const HelperProcess::Started started = control.start(mode, serverAddress, sni, psk, log->writeDescriptor());
    log->closeWriteDescriptor();
    if (started.pid <= 0)
        return failed(TunnelCause(TunnelReason::launchFailed, started.error));
    ticket->pid = started.pid;
    // Recorded at once, so that a client killed from here on leaves a helper the next one finds.
    const std::optional<ProcessIdentity> identity = ProcessIdentity::ofStarted(started.pid, kIdentityLimit);
    lease->setHelper(HelperRecord{started.pid, identity, ticket->serverHost, ticket->mode});
    Result result;
    result.pid = started.pid;
    result.identity = identity;
    result.log = log;
    return result;
}
