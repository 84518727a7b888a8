#pragma once

#include "RecordingAdminPrompt.h"
#include "RecordingPrivilegedRunner.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"

#include <QJsonObject>

#include <functional>
#include <memory>

// A view model ready to connect: a copy of the simulated helper in a temporary folder as the helper
// path, a selected node, a key, the recording platform fakes (kills are real, for the test's own
// helper), short intervals, and the tunnel files in the folder.
class TunnelFixture {
public:
    // stopPoll: the pause between two checks whether a stopped helper is gone (40 checks at most).
    // prepare may change the environment (paths, intervals) before the view model is made.
    explicit TunnelFixture(const QString &scenario = QStringLiteral("normal"),
                           std::chrono::milliseconds stopPoll = std::chrono::milliseconds(10),
                           const std::function<void(AppEnvironment &)> &prepare = {});
    ~TunnelFixture();

    AppViewModel &vm() { return *m_vm; }
    QString helperPath() const { return m_helperPath; }
    QString recordFile() const { return env.path(QStringLiteral("helper-record.json")); }
    // What the helper recorded at start, or an empty object when it never started.
    QJsonObject helperRecord() const;
    // The helper's process id from its record, or -1.
    qint64 helperPid() const;
    // Marks the helper's rights as already installed for its path.
    void installRights();
    // Waits until the tunnel lane is idle.
    bool waitIdle(int timeoutMs = 10000);
    // Connects (the tunnel claimed at once) and waits until the monitor has given its verdict.
    void connectAndSettle();
    // Disconnects ("Disconnecting…" at once) and waits until the tunnel is down, its lane idle and its lock free.
    void disconnectAndSettle(int timeoutMs = 10000);
    // What the control program was asked to do with these verbs, in order, each as its words after the
    // program: "stop", "routes 127.0.0.1".
    QStringList controlCalls(const QStringList &verbs) const;
    // The state the tunnel's holder shows other processes ("connecting", "failed", ...); empty when free.
    QString lockState() const;
    void setScenario(const QString &scenario);
    // The node list answers with node alone, and key: it is the selected node from now on.
    void offer(const NodeInfo &node, const QString &psk = QStringLiteral("test-psk-value"));
    // What the list's next load answers (the view model's loadNodes): the fixture's node and key, or a
    // failure.
    void answerLoads(bool succeed) { m_loadsSucceed = succeed; }

    TestEnvironment env;
    NodeInfo node; // offered at the start
    std::shared_ptr<RecordingAdminPrompt> prompt;

private:
    QString m_helperPath;
    std::unique_ptr<AppViewModel> m_vm;

private:
    QCoro::Task<ApiResult<NodesResponse>> serveNodes();
    bool m_loadsSucceed = true;
};
