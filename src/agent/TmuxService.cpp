#include "agent/TmuxService.h"

#include "agent/TerminalLauncher.h"
#include "common/ControlText.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QStringDecoder>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace quillet {

Q_LOGGING_CATEGORY(lcTmux, "lorvo.fennick.quillet-mac.TmuxService")

namespace {

std::atomic<quint64> childCount{0};
std::atomic<quint64> pasteCount{0};

// tmux refuses a command of more than about 16 KB ("command too long"); text beyond this many
// UTF-8 bytes goes through a paste buffer, which has no limit.
constexpr qsizetype literalTextLimit = 2048;

// A tmux client that neither answers nor exits would stall the scan that waits for it.
constexpr int defaultTimeoutMs = 10000;
std::atomic<int> childTimeoutMs{defaultTimeoutMs};

struct PathCache {
    QMutex mutex; // operations run on several worker threads at once
    QStringList candidates{QStringLiteral("/opt/homebrew/bin/tmux"),
                           QStringLiteral("/usr/local/bin/tmux"), QStringLiteral("/usr/bin/tmux")};
    bool resolved = false;
    std::optional<QString> path;
};

PathCache &pathCache() {
    static PathCache cache;
    return cache;
}

struct ChildResult {
    bool started = false;
    int exitStatus = -1; // -1 when it did not exit normally
    QByteArray output;
    QByteArray errors; // the start of standard error, enough to tell one failure from another
};

void closeFd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Runs `program` with standard output and standard error on two pipes and standard input
// inherited, or fed with `input` when given. Both pipes are drained until they close (a child must
// never block on a full pipe) while the input is written, all but the start of standard error is
// discarded, then the child is reaped.
ChildResult runChild(const QString &program, const QStringList &arguments,
                     const QByteArray *input = nullptr) {
    ChildResult result;
    std::vector<QByteArray> storage;
    storage.reserve(arguments.size() + 1);
    storage.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments)
        storage.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &bytes : storage)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    // A socket rather than a pipe for the input: send() with MSG_NOSIGNAL reports a child that
    // stopped reading as an error instead of killing this process with SIGPIPE.
    int in[2] = {-1, -1};
    const auto closeAll = [&] {
        for (int *fd : {&out[0], &out[1], &err[0], &err[1], &in[0], &in[1]})
            closeFd(*fd);
    };
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
        (input && (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
                   ::fcntl(in[0], F_SETFL, O_NONBLOCK) != 0))) {
        closeAll();
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input)
        posix_spawn_file_actions_adddup2(&actions, in[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int spawnError =
        ::posix_spawn(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(out[1]);
    closeFd(err[1]);
    closeFd(in[1]);
    if (spawnError != 0) {
        closeAll();
        return result;
    }
    result.started = true;
    ++childCount;

    const int timeoutMs = childTimeoutMs.load();
    QDeadlineTimer deadline(timeoutMs);
    char buffer[16384];
    bool timedOut = false;
    qsizetype written = 0;
    if (input && input->isEmpty())
        closeFd(in[0]);
    while (out[0] >= 0 || err[0] >= 0 || in[0] >= 0) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[0], POLLOUT, 0}};
        const int ready =
            ::poll(fds, 3, int(std::clamp<qint64>(deadline.remainingTime(), 0, 60000)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            int &fd = i == 0 ? out[0] : err[0];
            if (fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                if (i == 0)
                    result.output.append(buffer, n);
                else if (result.errors.size() < 512)
                    result.errors.append(buffer, std::min<qsizetype>(n, 512));
            } else if (n == 0 || errno != EINTR) {
                closeFd(fd);
            }
        }
        if (in[0] >= 0 && fds[2].revents != 0) {
            const ssize_t n = ::send(in[0], input->constData() + written,
                                     size_t(input->size() - written), MSG_NOSIGNAL);
            if (n > 0)
                written += n;
            // All written (end of file for the child), or the child stopped reading.
            if (written == input->size() || (n < 0 && errno != EINTR && errno != EAGAIN))
                closeFd(in[0]);
        }
    }
    closeAll();
    if (timedOut) {
        qCWarning(lcTmux, "tmux did not finish within %d ms: %s", timeoutMs,
                  qUtf8Printable(arguments.join(QLatin1Char(' '))));
        ::kill(pid, SIGKILL);
        result.output.clear();
    }

    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status) && !timedOut)
        result.exitStatus = WEXITSTATUS(status);
    return result;
}

ChildResult runTmux(const QStringList &arguments) {
    const std::optional<QString> path = TmuxService::tmuxPath();
    if (!path) {
        qCCritical(lcTmux, "tmux not found");
        return {};
    }
    return runChild(*path, arguments);
}

// Runs a command whose output does not matter; true when it exited with status 0. Without tmux
// it fails quietly: callers of the send operations expect false, not a log line.
bool runForStatus(const QStringList &arguments, const QByteArray *input = nullptr) {
    const std::optional<QString> path = TmuxService::tmuxPath();
    return path && runChild(*path, arguments, input).exitStatus == 0;
}

// tmux resolves a bare session name by prefix and pattern too: "work" finds "work2" when "work"
// is gone, and the command would then kill or type into the wrong session. "=" asks for the
// exact name.
QString exactSession(const QString &name) {
    return QLatin1Char('=') + name;
}

// Pane targets are "session:window.pane" as list-panes prints them; the same exact-name prefix
// applies to their session part. Other target forms (%id, @id, $id, already exact) pass as given.
QString exactPane(const QString &target) {
    if (target.isEmpty() || !target.contains(QLatin1Char(':')) ||
        QStringView(u"=%@$").contains(target.front()))
        return target;
    return QLatin1Char('=') + target;
}

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QStringList processNames(CodingTool tool) {
    switch (tool) {
    case CodingTool::claudeCode:
        return {QStringLiteral("claude"), QStringLiteral("claude-code")};
    case CodingTool::codex:
        return {QStringLiteral("codex")};
    case CodingTool::generic:
        break;
    }
    return {};
}

QStringList screenSignatures(CodingTool tool) {
    switch (tool) {
    case CodingTool::claudeCode:
        return {QStringLiteral("Claude Code"),
                QStringLiteral("claude>"),
                QStringLiteral("Co-Authored-By: Claude"),
                QStringLiteral("╭─"),
                QStringLiteral("⏺"),
                QStringLiteral("❯")};
    case CodingTool::codex:
        return {QStringLiteral("Codex"), QStringLiteral("codex>"), QStringLiteral("OpenAI")};
    case CodingTool::generic:
        break;
    }
    return {};
}

} // namespace

std::optional<QString> TmuxService::tmuxPath() {
    PathCache &cache = pathCache();
    QMutexLocker lock(&cache.mutex);
    if (!cache.resolved) {
        cache.resolved = true;
        cache.path.reset();
        for (const QString &candidate : std::as_const(cache.candidates)) {
            const QFileInfo info(candidate);
            if (info.isFile() && info.isExecutable()) {
                cache.path = candidate;
                break;
            }
        }
    }
    return cache.path;
}

void TmuxService::setSearchPathsForTesting(const QStringList &paths) {
    PathCache &cache = pathCache();
    QMutexLocker lock(&cache.mutex);
    cache.candidates = paths;
    cache.resolved = false;
    cache.path.reset();
}

void TmuxService::setTimeoutForTesting(int milliseconds) {
    childTimeoutMs.store(milliseconds > 0 ? milliseconds : defaultTimeoutMs);
}

QString TmuxService::run(const QStringList &arguments) {
    const ChildResult result = runTmux(arguments);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(result.output);
    if (decoder.hasError())
        return QString();
    return text;
}

QList<TmuxSession> TmuxService::parseSessions(const QString &output) {
    QList<TmuxSession> sessions;
    const QString trimmed = output.trimmed();
    if (trimmed.isEmpty())
        return sessions;
    for (QStringView line : QStringView(trimmed).split(u'\n', Qt::SkipEmptyParts)) {
        QList<QStringView> pieces;
        qsizetype start = 0;
        for (qsizetype i = 0; i <= line.size(); ++i) {
            if (i == line.size() || isBlank(line[i])) {
                if (i > start)
                    pieces.append(line.sliced(start, i - start));
                start = i + 1;
            }
        }
        if (pieces.size() < 2)
            continue;
        sessions.append(TmuxSession{pieces[0].toString(), pieces[1] == u"1"});
    }
    return sessions;
}

QList<TmuxPane> TmuxService::parsePaneLines(const QString &output) {
    QList<TmuxPane> panes;
    for (QStringView line : QStringView(output).split(u'\n', Qt::SkipEmptyParts)) {
        // The title is the rest of the line, tabs and all.
        const QList<QStringView> fields = line.split(u'\t');
        if (fields.size() < 3 || fields[0].isEmpty() || fields[1].isEmpty())
            continue;
        const QString session = fields[0].toString();
        const QStringView title =
            fields.size() > 3
                ? line.sliced(fields[0].size() + fields[1].size() + fields[2].size() + 3)
                : QStringView();
        panes.append(TmuxPane{session + QLatin1Char(':') + fields[1].toString(), session,
                              fields[2].toString(), title.toString()});
    }
    return panes;
}

QList<TmuxSession> TmuxService::listSessions() {
    const QStringList arguments{QStringLiteral("list-sessions"), QStringLiteral("-F"),
                                QStringLiteral("#{session_name} #{session_attached}")};
    return parseSessions(run(arguments));
}

bool TmuxService::sessionExists(const QString &name) {
    const QList<TmuxSession> sessions = listSessions();
    return std::any_of(sessions.cbegin(), sessions.cend(),
                       [&](const TmuxSession &session) { return session.name == name; });
}

std::optional<QList<TmuxPane>> TmuxService::paneListing() {
    const QStringList arguments{QStringLiteral("list-panes"), QStringLiteral("-a"),
                                QStringLiteral("-F"),
                                QStringLiteral("#{session_name}\t#{window_index}.#{pane_index}\t"
                                               "#{pane_current_command}\t#{pane_title}")};
    const ChildResult result = runTmux(arguments);
    if (result.exitStatus == 0) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(result.output);
        if (decoder.hasError())
            return std::nullopt;
        return parsePaneLines(text);
    }
    // tmux fails the same way when no server is there to ask: none was started, or the last
    // session closed and the server exited. That server has no panes; anything else (a timeout,
    // a killed client) says nothing about them.
    if (result.exitStatus == 1 && (result.errors.startsWith("no server running") ||
                                   result.errors.startsWith("error connecting to")))
        return QList<TmuxPane>();
    return std::nullopt;
}

QList<TmuxPane> TmuxService::listPanes() {
    return paneListing().value_or(QList<TmuxPane>());
}

bool TmuxService::paneMatchesTool(CodingTool tool, const QString &command, const QString &title,
                                  const QString &paneTarget, std::optional<QString> *screen) {
    if (processNames(tool).contains(command.toLower()))
        return true;
    if (tool == CodingTool::generic)
        return true;
    if (title.toLower().contains(displayName(tool).toLower()))
        return true;
    std::optional<QString> own;
    std::optional<QString> &captured = screen ? *screen : own;
    if (!captured)
        captured = capturePane(paneTarget);
    if (captured->isEmpty())
        return false;
    const QStringList signatures = screenSignatures(tool);
    return std::any_of(signatures.cbegin(), signatures.cend(),
                       [&](const QString &signature) { return captured->contains(signature); });
}

QString TmuxService::capturePane(const QString &target) {
    const QStringList arguments{QStringLiteral("capture-pane"), QStringLiteral("-t"),
                                exactPane(target), QStringLiteral("-p")};
    return run(arguments);
}

bool TmuxService::pasteText(const QString &target, const QString &text) {
    const QByteArray bytes = ControlText::withoutControls(text).toUtf8();
    if (bytes.isEmpty())
        return true;
    // A buffer of this call's own: a shared one could be replaced by another paste (another
    // thread, another Quillet on the same server) between loading and pasting.
    const QString buffer =
        QStringLiteral("quillet-%1-%2").arg(::getpid()).arg(pasteCount.fetch_add(1) + 1);
    const QStringList load{QStringLiteral("load-buffer"), QStringLiteral("-b"), buffer,
                           QStringLiteral("-")};
    if (!runForStatus(load, &bytes))
        return false;
    // -p brackets the paste when the program asked for bracketed paste, so its line breaks and
    // tabs arrive as text and nothing in it submits; -d deletes the buffer with the paste.
    const QStringList paste{QStringLiteral("paste-buffer"),
                            QStringLiteral("-b"),
                            buffer,
                            QStringLiteral("-t"),
                            exactPane(target),
                            QStringLiteral("-d"),
                            QStringLiteral("-p")};
    if (runForStatus(paste))
        return true;
    const QStringList discard{QStringLiteral("delete-buffer"), QStringLiteral("-b"), buffer};
    runForStatus(discard);
    return false;
}

bool TmuxService::sendText(const QString &target, const QString &text) {
    const QString clean = ControlText::withoutControls(text);
    const bool paste = clean.contains(QLatin1Char('\n')) || clean.contains(QLatin1Char('\t')) ||
                       clean.toUtf8().size() > literalTextLimit;
    const QString pane = exactPane(target);
    const QStringList typed{QStringLiteral("send-keys"), QStringLiteral("-t"), pane,
                            QStringLiteral("-l"),        QStringLiteral("--"), clean};
    if (!(paste ? pasteText(target, clean) : runForStatus(typed)))
        return false;
    QThread::msleep(enterDelayMs);
    const QStringList enter{QStringLiteral("send-keys"), QStringLiteral("-t"), pane,
                            QStringLiteral("Enter")};
    return runForStatus(enter);
}

bool TmuxService::sendKey(const QString &target, const QString &key) {
    const QStringList arguments{QStringLiteral("send-keys"), QStringLiteral("-t"),
                                exactPane(target), key};
    return runForStatus(arguments);
}

bool TmuxService::sendLiteralKey(const QString &target, const QString &key) {
    if (ControlText::containsControl(key))
        return false;
    const QStringList arguments{QStringLiteral("send-keys"), QStringLiteral("-t"),
                                exactPane(target),           QStringLiteral("-l"),
                                QStringLiteral("--"),        key};
    return runForStatus(arguments);
}

bool TmuxService::createSession(const QString &name, const QString &directory) {
    const QStringList create{QStringLiteral("new-session"), QStringLiteral("-d"),
                             QStringLiteral("-s"),          name,
                             QStringLiteral("-c"),          directory};
    run(create);
    clearClaudeCodeMarker(name);
    return sessionExists(name);
}

void TmuxService::sendLaunchCommand(const QString &session, const QString &command) {
    // The session's active pane; without -l so the command line is typed as keys, then Enter.
    const QString pane = exactSession(session) + QLatin1Char(':');
    // fish has no `unset`: there the line would fail before the command ran.
    const QStringList shell{QStringLiteral("display-message"), QStringLiteral("-p"),
                            QStringLiteral("-t"), pane, QStringLiteral("#{pane_current_command}")};
    const bool fish = run(shell).trimmed() == QLatin1String("fish");
    const QString clear =
        fish ? QStringLiteral("set -e CLAUDECODE; ") : QStringLiteral("unset CLAUDECODE && ");
    const QStringList arguments{QStringLiteral("send-keys"), QStringLiteral("-t"), pane,
                                clear + command, QStringLiteral("Enter")};
    run(arguments);
}

void TmuxService::killSession(const QString &name) {
    const QStringList arguments{QStringLiteral("kill-session"), QStringLiteral("-t"),
                                exactSession(name)};
    run(arguments);
}

void TmuxService::clearClaudeCodeMarker(const QString &session) {
    // "-r", not "-u": the marker comes from the server's global environment (the server inherits
    // it when it was started from inside Claude Code), and "-u" only drops a session-level entry
    // that is never there. "-r" hides the global value from every process the session starts.
    const QStringList arguments{QStringLiteral("set-environment"), QStringLiteral("-t"),
                                exactSession(session), QStringLiteral("-r"),
                                QStringLiteral("CLAUDECODE")};
    run(arguments);
}

void TmuxService::attachInTerminal(const QString &session) {
    const QStringList command{tmuxPath().value_or(QStringLiteral("tmux")), QStringLiteral("attach"),
                              QStringLiteral("-t"), exactSession(session)};
    QString error;
    if (!TerminalLauncher::current().open(command, &error))
        qCCritical(lcTmux, "Failed to attach Terminal: %s", qUtf8Printable(error));
}

quint64 TmuxService::processesStarted() {
    return childCount.load();
}

} // namespace quillet
