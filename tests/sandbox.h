/*
 * The sandbox every test of the real binary runs in: fresh mount, PID, UTS
 * and network namespaces in which /var/run, /sbin/dhclient and
 * /usr/local/sbin/dhclient belong to the test, so the binary runs
 * unmodified with its fixed paths.  The test body is PID 1 there, leading a
 * session of its own: every process the binary leaves behind is its child,
 * no signal reaches outside, and every process is gone when the body ends.
 */
#ifndef BISTACK_TESTS_SANDBOX_H
#define BISTACK_TESTS_SANDBOX_H

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "named.h"

struct SandboxSetup {
	bool run_dir = true; /* /var/run/dhclient exists */
	/*
	 * The files copied to /sbin/dhclient and /usr/local/sbin/dhclient:
	 * the stand-in client unless a test says otherwise, nullptr for none.
	 */
	const char *v4_client = FAKE_DHCLIENT_PATH;
	const char *v6_client = FAKE_DHCLIENT_PATH;
};

/*
 * Run body as PID 1 of new namespaces laid out as setup says.  Failures in
 * body fail the calling test; so does a sandbox that cannot be made.
 */
void in_sandbox(const SandboxSetup &setup, const std::function<void()> &body);

/* Everything below is for use inside a sandbox. */

struct RunOptions {
	std::string cwd = "/";
	mode_t umask = 022;
	bool tty = false; /* start it in a session with a terminal */
	std::function<void()> before_exec;
};

/* Start the binary with args; standard output and error go to files. */
pid_t start_program(
    const std::vector<std::string> &args, const RunOptions &opts = {});
/* Start it and wait for the starting process: its raw wait status. */
int run_program(
    const std::vector<std::string> &args, const RunOptions &opts = {});
std::string program_stdout();
std::string program_stderr();

/*
 * A copy of the stand-in client whose file name, and so the command name
 * of a process started from it, is name.  Returns its path.
 */
std::string named_program(const std::string &name);
/*
 * A stand-in started by the test itself, in a process group of its own,
 * from a program named dhclient unless name says otherwise, with argv
 * (its own default: "dhclient bystander"), holding the file locked (with
 * flock(2), from before its exec) when locked names one.
 */
pid_t start_bystander(const std::string &name = "",
    const std::vector<std::string> &argv = {}, const std::string &locked = "");

struct Client {
	pid_t pid;
	std::vector<std::string> argv;
};
/* The stand-in clients started so far (no bystander), lowest PID first. */
std::vector<Client> started_clients();
/* Every SIGTERM a stand-in received, as (receiver, sender). */
std::vector<std::pair<pid_t, pid_t>> terms_received();

struct Started {
	pid_t daemon = 0;
	Client v4 {}, v6 {};
};
/*
 * Start the binary for ifname, after the options given, and wait until it
 * has returned 0 and the two stand-ins it started run and, unless
 * FAKE_DHCLIENT_NO_PIDFILE is set, have written their PID files.
 */
Started start_serving(
    const std::string &ifname, const std::vector<std::string> &options = {});
/*
 * Start the binary for ifname and wait until its daemon watches exactly
 * the processes that the clients recorded in their files, so it has read
 * them: the daemon and those records (v4.pid, v6.pid; no argv), or a
 * daemon of 0 after a test failure.
 */
Started start_following_records(const std::string &ifname);
/*
 * Who sent pid its first SIGTERM.  Called once the daemon has ended: the
 * test then signals pid itself, so the answer is 1 (the test) exactly when
 * the daemon never did.
 */
pid_t first_term_sender(pid_t pid);
/*
 * SIGTERM to one process of the sandbox; refuses 0, 1 and negative numbers
 * (a process group, or every process) with a test failure.
 */
bool send_sigterm(pid_t pid);
/* How many SIGTERMs pid recorded, and from whom. */
std::vector<pid_t> term_senders(pid_t pid);

/*
 * Trace daemon, a child of the test's, from the moment act is called (say,
 * to stop it) to its end: the signals it sends, in order, each to the
 * process it reaches.  Its raw wait status goes to *status.
 */
struct Sent {
	pid_t to;
	int sig;
};
std::vector<Sent> signals_sent(
    pid_t daemon, const std::function<void()> &act, int *status);

/*
 * Start the binary for em0 and hold its daemon, traced by the test until
 * release_held: Recorded, as soon as its PID is in its PID file; Reporting,
 * just before it reports to the starter that it is ready; Waiting, as it
 * enters the system call that waits for what it acts on, once ready.
 * Returns the daemon, or 0 after a test failure.
 */
enum class Hold { Recorded, Reporting, Waiting };
pid_t start_held(Hold where, pid_t *starter);
/*
 * Start the binary for em0 and hold its daemon, traced, as it is about to
 * lock the PID file it has opened.  Returns it, or 0 after a test failure.
 */
pid_t start_held_at_lock(pid_t *starter);
void release_held(pid_t pid);

/*
 * The stand-in IPv4 client's process after its last fork into the
 * background (see FAKE_DHCLIENT_REFORK), or 0 before then.
 */
pid_t reforked_client();

/* The processes that pid holds a process descriptor of, lowest first. */
std::vector<pid_t> watched_by(pid_t pid);
/* The process that pid's descriptor fd is a process descriptor of, or 0. */
pid_t watched_by_fd(pid_t pid, int fd);

/*
 * What each descriptor of pid refers to, lowest first: a path, or "socket",
 * "pipe" or "pidfd".
 */
std::vector<std::string> fd_targets(pid_t pid);
/*
 * The same, read while pid waits in a system call and does not wake
 * meanwhile, so that no file it opens for a moment is among them.
 */
std::vector<std::string> fd_targets_at_rest(pid_t pid);
/*
 * The daemon's descriptors at rest once it holds no channel (each ends
 * when its client has run).
 */
std::vector<std::string> daemon_fds_at_rest(pid_t daemon);

/*
 * Run the programs started from now on (the binary and the stand-in
 * clients) on a clock k times slower than the machine's: their windows and
 * timed waits last k times longer, while the machine's own delays (a loaded
 * scheduler) do not, and so count k times less against them.  What they do
 * is then timed on their clock, program_ms(); a wait of the test's own that
 * is counted in their time lasts slowed(ms).  The waits below given no
 * bound wait 5 s of their clock.
 */
void slow_clock(int k);
long program_ms();
int slowed(long ms);
/* Let ms of the programs' clock pass: past a window that no event ends. */
void nap(long ms);

/*
 * Reap what has ended and wait until no process is left here but those in
 * kept within ms; if not, what is left.
 */
testing::AssertionResult all_ended(
    const std::vector<pid_t> &kept = {}, int ms = slowed(5000));

/*
 * Put /var/run/dhclient on a file system that keeps time stamps to the
 * second (ext4 with small inodes, on a loop device): "" when done, or why
 * not.  Needs root.
 */
std::string coarse_run_directory();

/*
 * Preload library into the processes started from now on.  A sanitizer
 * build's run-time then comes second, which it is told to accept.
 */
void preload(const char *library);

/*
 * In a sanitizer build, leave LeakSanitizer out of the binary's processes
 * started from now on: a traced process cannot run it (it traces the
 * process itself), and its scan at every exit would take tens of
 * milliseconds from a test that times the daemon's end.
 */
void without_leak_check();

/*
 * A bound on a way out that an event starts: a stop, or an end the daemon
 * can tell is final.  It takes a few milliseconds; the bound leaves room
 * for a loaded machine and a sanitizer build, yet stays short of the
 * quarter of a second a client is given to record a new process, which
 * must not pass for prompt.
 */
constexpr long prompt_ms = 150;
static_assert(prompt_ms < record_wait_ms, "a record's window is not prompt");
/*
 * How much slower the programs' clock runs in a test that times them
 * against such a bound (see slow_clock): a machine loaded 15 deep on 2
 * cores was seen to delay a stop by 2.5 s, and, in a sanitizer build, an
 * end by more than 2.4 s; either must stay within prompt_ms of their
 * clock, 3.6 s of the machine's.
 */
constexpr int timed_slower = 24;
/* A monotonic clock, in milliseconds. */
long now_ms();

/* Run a shell command; true if it exits 0. */
bool shell(const std::string &command);

/* Poll cond until it holds or ms have passed. */
bool eventually(const std::function<bool()> &cond, int ms = slowed(5000));
/*
 * Reap a child (orphans are ours too; -1 for any): its raw wait status,
 * or -1 on time-out, -2 if it is no child of the test.
 */
int wait_exit(pid_t pid, int ms = slowed(5000));
/* "exit N", "signal N" or "still running", for readable assertions. */
std::string describe(int status);

std::optional<std::string> read_file(const std::string &path);
/* The number at the start of a PID file; 0 if there is none. */
pid_t pid_in(const std::string &path);
bool exists(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::vector<std::string> list_dir(const std::string &path);
std::vector<pid_t> processes(); /* every process here but PID 1 */
bool alive(pid_t pid); /* exists and is not a zombie */
/* A field of /proc/PID/status, as it stands after its tab; "" if none. */
std::string status_field(pid_t pid, const std::string &field);
/* The fields of /proc/PID/stat after the command name; [0] is the state. */
std::vector<std::string> stat_fields(pid_t pid);

/* The PID file the binary names for ifname: tag "" (its own), "4" or "6". */
std::string pidfile(const std::string &ifname, const std::string &tag = "");

#endif
