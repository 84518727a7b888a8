#include "TunnelController.h"

#include "SmartModeCleanup.h"
#include "TunnelMonitor.h"
#include "platform/ThreadHandoff.h"

#include <QLoggingCategory>

#include <csignal>

Q_DECLARE_LOGGING_CATEGORY(lcTunnel)

// What this process finds of another's tunnel: one a killed process left (taken over at start, or shown
// and finished on request) and one another process of ours drives (shown; its holder asked to stop).

TunnelController::Recovery TunnelController::recoverLeftovers()
{
    if (m_lease || m_launch || m_state.isActive())
        return Recovery::Nothing;
    const SmartModeCleanup cleanup(controlProgram(), m_settings.paths, m_settings.trustedScriptOwner);
    const std::optional<TunnelOwnership::Holder> record = m_ownership.leftBehind();
    const bool scriptLeft = cleanup.leftBehind();
    if (!scriptLeft && !(record && record->helper))
        return Recovery::Nothing;
    TunnelOwnership::Refusal refusal;
    std::shared_ptr<TunnelOwnership::Lease> lease = m_ownership.acquire(&refusal);
    if (!lease) {
        qCInfo(lcTunnel) << "left-behind tunnel skipped: it is driven by pid"
                         << (refusal.holder ? refusal.holder->pid : 0);
        return Recovery::HeldElsewhere;
    }
    // Taken under the lock: the record read above may be out of date by now.
    const std::optional<TunnelOwnership::Holder> previous = lease->takeLeftBehind();
    const std::optional<TunnelOwnership::HelperRecord> helper = previous ? previous->helper : std::nullopt;
    if (helper && previous->phase() == TunnelPhase::connected && startedHelperRuns(*helper)) {
        adopt(*previous, std::move(lease));
        return Recovery::Adopted;
    }
    if (!helper && !scriptLeft)
        return Recovery::Nothing;
    lease->setState(TunnelPhase::disconnecting);
    // On the lane: a connect meanwhile starts only after it, so it never deletes the new tunnel's files.
    if (!helper) {
        ThreadHandoff::start(m_lane, [cleanup, lease] { cleanup.run(); });
        return Recovery::CleaningUp;
    }
    Teardown left = teardown(*helper);
    if (scriptLeft)
        left.mode = RoutingMode::smart; // whatever the record says, a script left behind is undone
    lease->setHelper(helper); // on record until it is stopped
    ThreadHandoff::start(m_lane, [left, lease] {
        if (left.run())
            lease->setHelper(std::nullopt);
        else
            lease->setState(TunnelPhase::failed); // it may still run: the record stays for the next try
    });
    return Recovery::CleaningUp;
}

bool TunnelController::startedHelperRuns(const TunnelOwnership::HelperRecord &helper) const
{
    // The control program alone knows which helper it started for this user; the process on record (the
    // sudo above that helper) must also still be the one recorded, since it is what the watch follows.
    const std::optional<ControlProgram::Installation> installation = controlProgram().check();
    return installation && installation->runningPid && helper.isRunning();
}

void TunnelController::adopt(const TunnelHolder &left, std::shared_ptr<TunnelOwnership::Lease> lease)
{
    leaveElsewhere();
    const TunnelOwnership::HelperRecord &helper = *left.helper;
    m_lease = std::move(lease);
    m_lastStart.reset(); // its key is not known: it is not started again when lost
    m_lease->setHelper(helper);
    m_state.setPid(helper.pid);
    m_helperIdentity = helper.identity;
    m_state.setServerHost(helper.host);
    m_state.setMode(helper.mode);
    if (left.node) {
        NodeInfo node;
        node.id = left.node->id;
        node.name = left.node->name;
        node.flagEmoji = left.node->flagEmoji;
        node.host = helper.host;
        m_state.setNode(node);
    }
    markUp(left.upSince);
    startMonitoring(std::make_unique<TunnelMonitor>(helper.pid, *helper.identity, m_settings.monitorInterval));
    m_state.setConnected(true);
    show(TunnelReason::connected);
}

void TunnelController::watchOtherHolders(std::chrono::milliseconds interval)
{
    if (!m_lookElsewhere.isActive())
        connect(&m_lookElsewhere, &QTimer::timeout, this, &TunnelController::lookElsewhere);
    m_lookElsewhere.start(interval);
    lookElsewhere();
}

void TunnelController::lookElsewhere()
{
    // Our own tunnel, a start, a stop or a reconnect: what we show is ours.
    if (m_lease || m_launch || m_stopsUnfinished > 0 || m_reconnect.isUnderWay() || m_state.isActive())
        return;
    std::optional<TunnelHolder> holder = m_ownership.otherHolder();
    if (holder && holder->foreignOwner)
        holder.reset(); // said when we try to use it; nothing of it is ours to show
    if (!holder) {
        holder = m_ownership.leftBehind();
        if (holder && !(holder->helper && holder->helper->isRunning()))
            holder.reset(); // nothing runs: the next start (or a disconnect) tidies up
    }
    const std::optional<TunnelHolder> shown = m_state.holderElsewhere();
    if (!holder) {
        // Gone: what was shown of it, or a stop we asked its holder for, has ended.
        if (shown || m_state.phase() == TunnelPhase::disconnecting) {
            leaveElsewhere();
            show(TunnelReason::disconnected);
        }
        return;
    }
    if (shown && shown->pid == holder->pid && shown->state == holder->state && shown->node == holder->node &&
        shown->upSince == holder->upSince && shown->leftBehind == holder->leftBehind)
        return;
    const bool up = holder->phase() == TunnelPhase::connected;
    if (holder->node) {
        NodeInfo node;
        node.id = holder->node->id;
        node.name = holder->node->name;
        node.flagEmoji = holder->node->flagEmoji;
        if (holder->helper)
            node.host = holder->helper->host;
        if (!m_state.node() || m_state.node()->id != node.id || m_state.node()->name != node.name)
            m_state.setNode(node);
    } else if (m_state.node()) {
        m_state.setNode(std::nullopt);
    }
    const std::optional<QDateTime> since = up ? holder->upSince : std::nullopt;
    if (m_state.upSince() != since)
        m_state.setUpSince(since);
    if (m_state.isConnected() != up)
        m_state.setConnected(up);
    show(TunnelCause(TunnelReason::runsElsewhere, *holder));
}

void TunnelController::leaveElsewhere()
{
    if (!m_state.holderElsewhere())
        return;
    clearTunnel();
    if (m_state.isConnected())
        m_state.setConnected(false);
}

bool TunnelController::askHolderToStop(const TunnelHolder &holder)
{
    // Only another client of ours in a terminal is stopped so, as Ctrl-C there would: it ends its own
    // tunnel and cleans up. The lock file is ours and its holder is alive while the lock is held, so
    // the pid read again just now is that client's.
    const std::optional<TunnelHolder> now = m_ownership.otherHolder();
    const bool askable = now && !now->foreignOwner && now->pid == holder.pid && now->pid > 0 &&
                         now->program == QLatin1String("nimbrel-cli") && m_ownership.recordIsOurs();
    if (askable && ::kill(pid_t(now->pid), SIGTERM) == 0)
        return true;
    leaveElsewhere();
    show(TunnelCause(TunnelReason::heldElsewhere, now.value_or(holder)));
    return false;
}
