/*
 * The tracer: which signals the daemon sends, and to what, and the daemon
 * held at a chosen moment of its start, by ptrace(2).
 */

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

/*
 * Start the binary for em0, traced from its exec on with options, system
 * call stops marked.  Returns it stopped at the exec, or 0 after a test
 * failure.
 */
pid_t
start_traced(long options)
{
	RunOptions opts;
	opts.before_exec = [] { ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); };
	pid_t starter = start_program({ "em0" }, opts);
	int status;
	if (waitpid(starter, &status, 0) != starter || !WIFSTOPPED(status)) {
		ADD_FAILURE() << "the starter did not stop at its exec";
		return 0;
	}
	ptrace(PTRACE_SETOPTIONS, starter, nullptr,
	    (void *)(options | PTRACE_O_TRACESYSGOOD));
	return starter;
}

} // namespace

std::vector<pid_t>
term_senders(pid_t pid)
{
	std::vector<pid_t> senders;
	for (const auto &term : terms_received())
		if (term.first == pid)
			senders.push_back(term.second);
	return senders;
}

bool
send_sigterm(pid_t pid)
{
	if (pid <= 1) {
		ADD_FAILURE() << "refusing to signal " << pid;
		return false;
	}
	return kill(pid, SIGTERM) == 0;
}

pid_t
first_term_sender(pid_t pid)
{
	if (!send_sigterm(pid))
		return 0;
	EXPECT_TRUE(eventually([&] { return !term_senders(pid).empty(); }))
	    << pid << " recorded no SIGTERM";
	std::vector<pid_t> senders = term_senders(pid);
	return senders.empty() ? 0 : senders[0];
}

std::vector<Sent>
signals_sent(pid_t daemon, const std::function<void()> &act, int *status)
{
	std::vector<Sent> sent;
	*status = -1;
	if (ptrace(PTRACE_SEIZE, daemon, nullptr,
		(void *)(long)PTRACE_O_TRACESYSGOOD) == -1 ||
	    ptrace(PTRACE_INTERRUPT, daemon, nullptr, nullptr) == -1) {
		ADD_FAILURE()
		    << "cannot trace " << daemon << ": " << strerror(errno);
		return sent;
	}
	int sig = 0;
	bool acted = false;
	for (;;) {
		if (waitpid(daemon, status, __WALL) != daemon) {
			ADD_FAILURE() << "lost the traced daemon";
			return sent;
		}
		if (!WIFSTOPPED(*status))
			return sent;
		if (!acted) {
			act();
			acted = true;
		}
		sig = WSTOPSIG(*status);
		if (sig == (SIGTRAP | 0x80)) {
			struct __ptrace_syscall_info info { };
			ptrace(PTRACE_GET_SYSCALL_INFO, daemon,
			    (void *)sizeof(info), &info);
			int fd = (int)info.entry.args[0];
			if (info.op == PTRACE_SYSCALL_INFO_ENTRY &&
			    info.entry.nr == SYS_pidfd_send_signal)
				sent.push_back({ watched_by_fd(daemon, fd),
				    (int)info.entry.args[1] });
			else if (info.op == PTRACE_SYSCALL_INFO_ENTRY &&
			    info.entry.nr == SYS_kill)
				sent.push_back({ (pid_t)info.entry.args[0],
				    (int)info.entry.args[1] });
			sig = 0;
		} else if (*status >> 16 == PTRACE_EVENT_STOP ||
		    sig == SIGTRAP) {
			sig = 0;
		}
		ptrace(PTRACE_SYSCALL, daemon, nullptr, (void *)(long)sig);
	}
}

/*
 * The starter is traced from its exec on, and its child the daemon with it,
 * and the daemon's children (the clients), which are let go at once.  The
 * starter is let go once it has forked the daemon, which is stepped from one
 * system call to the next: up to the end of the pwrite that records its
 * PID (the second: the first claims room for it), the start of the sendto
 * that reports, or the start of its first ppoll after that, or, at_lock,
 * the start of its flock.  A child's first stop and its parent's fork event
 * come in either order.
 */
pid_t
hold_daemon(Hold where, bool at_lock, pid_t *starter)
{
	const long call = at_lock      ? SYS_flock
	    : where == Hold::Recorded  ? SYS_pwrite64
	    : where == Hold::Reporting ? SYS_sendto
				       : SYS_ppoll;
	const int op = where == Hold::Recorded && !at_lock
	    ? PTRACE_SYSCALL_INFO_EXIT
	    : PTRACE_SYSCALL_INFO_ENTRY;
	long last_call = -1;
	int status, pwrites = 0;
	bool reported = false;
	if ((*starter = start_traced(PTRACE_O_TRACEFORK)) == 0)
		return 0;
	ptrace(PTRACE_CONT, *starter, nullptr, nullptr);

	pid_t daemon = 0, daemon_forked = 0;
	std::vector<pid_t> clients;
	std::set<pid_t> new_children;
	int clients_let_go = 0;
	bool held = false;
	auto is_fork = [](int st) {
		return st >> 8 == (SIGTRAP | (PTRACE_EVENT_FORK << 8));
	};
	auto forked_child = [](pid_t pid) {
		unsigned long child = 0;
		ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &child);
		return (pid_t)child;
	};
	while (!held || (!at_lock && clients_let_go < 2)) {
		pid_t pid = waitpid(-1, &status, __WALL);
		if (pid == -1 || (pid == daemon && !WIFSTOPPED(status))) {
			ADD_FAILURE()
			    << "the daemon was not held: " << describe(status);
			return 0;
		}
		if (!WIFSTOPPED(status))
			continue;
		int sig = WSTOPSIG(status);
		if (pid == *starter) {
			if (is_fork(status)) {
				daemon_forked = forked_child(pid);
				ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
			} else {
				ptrace(PTRACE_CONT, pid, nullptr,
				    (void *)(long)sig);
			}
		} else if (pid == daemon && is_fork(status)) {
			clients.push_back(forked_child(pid));
			ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
		} else if (pid == daemon && sig == (SIGTRAP | 0x80)) {
			struct __ptrace_syscall_info info { };
			ptrace(PTRACE_GET_SYSCALL_INFO, pid,
			    (void *)sizeof(info), &info);
			if (info.op == PTRACE_SYSCALL_INFO_ENTRY)
				last_call = (long)info.entry.nr;
			if (info.op == PTRACE_SYSCALL_INFO_EXIT &&
			    last_call == SYS_pwrite64)
				pwrites++;
			if (info.op == PTRACE_SYSCALL_INFO_ENTRY &&
			    last_call == SYS_sendto)
				reported = true;
			held = info.op == op && last_call == call &&
			    (at_lock || where != Hold::Recorded ||
				pwrites == 2) &&
			    (at_lock || where != Hold::Waiting || reported);
			if (!held)
				ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
		} else if (pid == daemon) {
			ptrace(PTRACE_SYSCALL, pid, nullptr, (void *)(long)sig);
		} else {
			new_children.insert(pid);
		}
		for (auto it = new_children.begin();
		     it != new_children.end();) {
			if (*it == daemon_forked) {
				daemon = *it;
				ptrace(
				    PTRACE_SYSCALL, daemon, nullptr, nullptr);
			} else if (std::find(clients.begin(), clients.end(),
				       *it) != clients.end()) {
				ptrace(PTRACE_DETACH, *it, nullptr, nullptr);
				clients_let_go++;
			} else {
				++it;
				continue;
			}
			it = new_children.erase(it);
		}
	}
	return daemon;
}

pid_t
start_held(Hold where, pid_t *starter)
{
	return hold_daemon(where, false, starter);
}

pid_t
start_held_at_lock(pid_t *starter)
{
	return hold_daemon(Hold::Recorded, true, starter);
}

void
release_held(pid_t pid)
{
	EXPECT_EQ(ptrace(PTRACE_DETACH, pid, nullptr, nullptr), 0)
	    << strerror(errno);
}
