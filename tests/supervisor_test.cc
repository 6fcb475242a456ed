/* The detached daemon: readiness, its PID file, and the shutdown. */

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

Started
start_em0(bool clients_write_pidfiles = true)
{
	if (!clients_write_pidfiles)
		setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
	return start_serving("em0");
}

/*
 * All the daemon holds: /dev/null for its standard descriptors, its locked
 * PID file, a process descriptor of each client's process, and what tells
 * it of their files (the clients' channels end at their execs).
 */
std::vector<std::string>
daemon_fds(const std::string &ifname)
{
	std::string own = pidfile(ifname);
	return { "/dev/null", "/dev/null", "/dev/null",
		own.substr(own.find("/run/")), "pidfd", "pidfd",
		"anon_inode:inotify" };
}

/* Whether the daemon watches exactly these processes. */
bool
watches(pid_t daemon, std::vector<pid_t> pids)
{
	std::sort(pids.begin(), pids.end());
	return watched_by(daemon) == pids;
}

/* Name pid in a client's PID file, as the clients themselves write it. */
void
write_client_pidfile(const char *tag, pid_t pid)
{
	write_file(pidfile("em0", tag), std::to_string(pid) + "\n");
}

/*
 * How long a test waits for the daemon to end, or a client it ended.  A
 * stop that has not ended every client within its own bound, stop_wait_ms
 * of the daemon's clock, exits 1: its status says whether it kept it.
 * The wait is twice that, for a loaded machine, which was seen to delay a
 * stop right after a start by over 4 s.  How promptly the daemon stops,
 * or follows a client out, is timed on the programs' slowed clock.
 */
const int ends_within = 2 * stop_wait_ms;

/*
 * Whether pid, a stand-in client, was ended by the daemon: it recorded the
 * daemon's SIGTERM and no other, or, signalled before it could catch
 * SIGTERM, it died of it (inside the sandbox, only the daemon signals it).
 */
testing::AssertionResult
stopped_by(pid_t pid, pid_t daemon)
{
	std::string status = describe(wait_exit(pid, ends_within));
	if (status == "signal 15" ||
	    (status == "exit 0" &&
		term_senders(pid) == std::vector<pid_t> { daemon }))
		return testing::AssertionSuccess();
	return testing::AssertionFailure()
	    << "client " << pid << ": " << status << ", "
	    << term_senders(pid).size() << " SIGTERMs recorded";
}

/* The PID of a process that has ended, and been reaped. */
pid_t
ended_process()
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(0);
	EXPECT_EQ(describe(wait_exit(pid)), "exit 0");
	return pid;
}

TEST(Daemon, IsReadyWhenTheCommandReturns)
{
	in_sandbox({}, [] {
		RunOptions opts;
		opts.cwd = "/usr/share";
		opts.umask = 027;
		opts.tty = true;
		pid_t starter = start_program({ "em0" }, opts);
		ASSERT_EQ(describe(wait_exit(starter)), "exit 0");

		/* Read at once: no polling, the file must be there. */
		std::optional<std::string> text = read_file(pidfile("em0"));
		ASSERT_TRUE(text.has_value());
		ASSERT_FALSE(text->empty());
		EXPECT_EQ(
		    text->find_first_not_of("0123456789"), std::string::npos)
		    << "\"" << *text << "\"";
		pid_t daemon = atoi(text->c_str());
		EXPECT_NE(daemon, starter);
		ASSERT_TRUE(alive(daemon));

		/* stat: state ppid pgrp session tty_nr ... */
		std::vector<std::string> fields = stat_fields(daemon);
		ASSERT_GT(fields.size(), 4u);
		EXPECT_EQ(fields[3], std::to_string(daemon))
		    << "session leader";
		EXPECT_EQ(fields[4], "0") << "no controlling terminal";
		/* The starter had one: its clients still hold it. */
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 2; }));
		EXPECT_NE(stat_fields(started_clients()[0].pid).at(4), "0");

		char cwd[256] = "";
		std::string link = "/proc/" + std::to_string(daemon) + "/cwd";
		EXPECT_GT(readlink(link.c_str(), cwd, sizeof(cwd) - 1), 0);
		EXPECT_STREQ(cwd, "/usr/share");
		std::string status =
		    read_file("/proc/" + std::to_string(daemon) + "/status")
			.value_or("");
		EXPECT_NE(status.find("Umask:\t0027\n"), std::string::npos);
		struct stat st;
		ASSERT_EQ(stat(pidfile("em0").c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 0777, 0640u);

		EXPECT_EQ(daemon_fds_at_rest(daemon), daemon_fds("em0"));
		EXPECT_EQ(program_stderr(), "");
	});
}

/* How a client's PID file may look; %d stands for its PID. */
struct Text {
	const char *name;
	std::string format;
};

void
PrintTo(const Text &text, std::ostream *os)
{
	*os << text.name;
}

class ClientPidfileText : public testing::TestWithParam<Text> { };

TEST_P(ClientPidfileText, SigtermStopsBothClientsAndRemovesThePidfile)
{
	in_sandbox({}, [] {
		const std::string format = GetParam().format;
		bool own = format == "%d\n"; /* as the clients write it */
		Started s = start_em0(own);
		ASSERT_GT(s.v6.pid, 0);
		std::string v4_text, v6_text;
		if (!own) {
			char buf[64];
			snprintf(buf, sizeof(buf), format.c_str(), s.v4.pid);
			write_file(pidfile("em0", "4"), buf);
			snprintf(buf, sizeof(buf), format.c_str(), s.v6.pid);
			write_file(pidfile("em0", "6"), buf);
		}
		v4_text = read_file(pidfile("em0", "4")).value_or("");
		v6_text = read_file(pidfile("em0", "6")).value_or("");

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(s.v4.pid), s.daemon);
		EXPECT_EQ(first_term_sender(s.v6.pid), s.daemon);
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_EQ(read_file(pidfile("em0", "4")), v4_text);
		EXPECT_EQ(read_file(pidfile("em0", "6")), v6_text);
		EXPECT_EQ(program_stderr(), "");
	});
}

INSTANTIATE_TEST_SUITE_P(Shutdown, ClientPidfileText,
    testing::Values(Text { "AsTheClientsWriteIt", "%d\n" },
	Text { "WithoutNewline", "%d" }, Text { "AfterBlanks", "   %d\n" },
	Text { "AfterANewlineAndATab", "\n\t%d 12\n" },
	Text { "WithAPlusSign", "+%d" }),
    ByName());

/*
 * What this run's IPv4 client's PID file holds at the stop instead of its
 * PID, or what is there instead of a regular file; B stands for the PID of
 * a bystander, a live process named dhclient that leads a process group of
 * its own.
 */
struct Unusable {
	const char *name;
	std::string text;
};

void
PrintTo(const Unusable &u, std::ostream *os)
{
	*os << u.name;
}

class UnusableIPv4Pidfile : public testing::TestWithParam<Unusable> { };

TEST_P(UnusableIPv4Pidfile, TheStopStillReachesBothClientsAndNothingElse)
{
	in_sandbox({}, [] {
		const std::string text = GetParam().text;
		pid_t bystander = start_bystander();
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);
		const std::string v4 = pidfile("em0", "4");
		ASSERT_EQ(unlink(v4.c_str()), 0);
		if (text == "fifo") {
			ASSERT_EQ(mkfifo(v4.c_str(), 0644), 0);
		} else if (text == "directory") {
			ASSERT_EQ(mkdir(v4.c_str(), 0755), 0);
		} else if (text == "device") {
			write_file(v4, "");
			ASSERT_EQ(mount("/dev/null", v4.c_str(), nullptr,
				      MS_BIND, nullptr),
			    0);
		} else if (text != "missing") {
			std::string filled = text;
			size_t b = filled.find('B');
			if (b != std::string::npos)
				filled.replace(b, 1, std::to_string(bystander));
			if (filled.rfind("wrap ", 0) == 0)
				filled =
				    std::to_string((1LL << 32) + bystander);
			write_file(v4, filled);
		}

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon, ends_within)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_EQ(first_term_sender(s.v4.pid), s.daemon);
		EXPECT_EQ(first_term_sender(s.v6.pid), s.daemon);
		EXPECT_EQ(first_term_sender(bystander), 1);
	});
}

INSTANTIATE_TEST_SUITE_P(Shutdown, UnusableIPv4Pidfile,
    testing::Values(Unusable { "Missing", "missing" }, Unusable { "Empty", "" },
	Unusable { "Newline", "\n" }, Unusable { "Word", "dhclient\n" },
	Unusable { "Zero", "0\n" }, Unusable { "MinusOne", "-1\n" },
	Unusable { "BystandersGroup", "-B\n" },
	Unusable { "WrapsToBystander", "wrap B" }, Unusable { "Fifo", "fifo" },
	Unusable { "Directory", "directory" }, Unusable { "Device", "device" }),
    ByName());

/*
 * What happens to the clients before the stop.  SlowToRecord: they record
 * their PIDs only seconds after they start.  The others go into the
 * background at once, as the ISC client does with -nw, so that only the
 * PIDs they recorded lead to them; once the daemon has read those, their
 * files are removed, or garbled, or made to name a live process of another
 * name, or the IPv4 client dies and then its file is garbled.
 */
class DisturbedStop : public testing::TestWithParam<std::string> { };

TEST_P(DisturbedStop, ReachesEveryClientPromptlyAndNothingElse)
{
	in_sandbox({}, [] {
		const std::string what = GetParam();
		pid_t bystander = start_bystander();
		pid_t other = start_bystander("sleep");
		if (what == "SlowToRecord")
			setenv("FAKE_DHCLIENT_DELAY_MS", "3000", 1);
		else
			setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		pid_t v4 = 0, v6 = 0;
		ASSERT_TRUE(eventually([&] {
			for (const Client &client : started_clients())
				(client.argv[0] == "/sbin/dhclient" ? v4 : v6) =
				    client.pid;
			return v4 != 0 && v6 != 0 &&
			    (what == "SlowToRecord" ||
				(pid_in(pidfile("em0", "4")) == v4 &&
				    pid_in(pidfile("em0", "6")) == v6));
		}));
		std::vector<pid_t> running { v4, v6 };
		if (what != "SlowToRecord") {
			/* Their first processes have ended: it has read both.
			 */
			ASSERT_TRUE(eventually(
			    [&] { return watches(daemon, running); }));
			if (what == "FileGarbledAfterTheIPv4ClientDied") {
				ASSERT_EQ(kill(v4, SIGKILL), 0);
				ASSERT_TRUE(
				    eventually([&] { return !alive(v4); }));
				running = { v6 };
			}
			for (const char *tag : { "4", "6" }) {
				if (what == "FileRemovedWhileItRuns")
					ASSERT_EQ(
					    unlink(pidfile("em0", tag).c_str()),
					    0);
				else if (what == "FileNamesAnotherProgram")
					write_file(pidfile("em0", tag),
					    std::to_string(other) + "\n");
				else if (tag == std::string("4") ||
				    what == "FileGarbledWhileItRuns")
					write_file(
					    pidfile("em0", tag), "garbage\n");
			}
		}

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon, ends_within)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
		for (pid_t client : running)
			EXPECT_TRUE(stopped_by(client, daemon));
		EXPECT_TRUE(all_ended({ bystander, other }));
		EXPECT_EQ(first_term_sender(bystander), 1);
		EXPECT_EQ(first_term_sender(other), 1);
	});
}

INSTANTIATE_TEST_SUITE_P(Shutdown, DisturbedStop,
    testing::Values("SlowToRecord", "FileRemovedWhileItRuns",
	"FileGarbledWhileItRuns", "FileNamesAnotherProgram",
	"FileGarbledAfterTheIPv4ClientDied"),
    [](const testing::TestParamInfo<std::string> &info) { return info.param; });

/*
 * A client that never records its PID: it cannot be executed, or it ends at
 * once, as the base client does when it refuses its command line.
 */
struct NeverRecords {
	const char *name;
	bool v4; /* which client */
	bool missing; /* not there to execute, or else it ends at once */
};

void
PrintTo(const NeverRecords &n, std::ostream *os)
{
	*os << n.name;
}

class AClientThatNeverRecords : public testing::TestWithParam<NeverRecords> { };

TEST_P(AClientThatNeverRecords, LeavesNoDaemonStandingForIt)
{
	const NeverRecords never = GetParam();
	SandboxSetup setup;
	if (never.missing)
		(never.v4 ? setup.v4_client : setup.v6_client) = nullptr;
	in_sandbox(setup, [&] {
		if (!never.missing)
			setenv("FAKE_DHCLIENT_FAIL", never.v4 ? "4" : "6", 1);
		/* Held at first, as it may end before its file can be read. */
		pid_t starter;
		pid_t daemon = start_held(Hold::Recorded, &starter);
		ASSERT_GT(daemon, 1);
		release_held(daemon);
		ASSERT_EQ(describe(wait_exit(starter)), "exit 0");
		const char *other_path =
		    never.v4 ? "/usr/local/sbin/dhclient" : "/sbin/dhclient";
		auto other = [&] {
			for (const Client &client : started_clients())
				if (client.argv[0] == other_path)
					return client.pid;
			return 0;
		};

		if (never.v4) {
			/*
			 * The daemon follows it out at once, and may stop
			 * the IPv6 client before it has even recorded itself.
			 */
			EXPECT_EQ(
			    describe(wait_exit(daemon, ends_within)), "exit 0");
		} else {
			ASSERT_TRUE(eventually([&] { return other() != 0; }));
			ASSERT_TRUE(send_sigterm(daemon));
			EXPECT_EQ(
			    describe(wait_exit(daemon, ends_within)), "exit 0");
		}
		if (other() != 0) {
			EXPECT_TRUE(stopped_by(other(), daemon));
		}
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended());
	});
}

INSTANTIATE_TEST_SUITE_P(Shutdown, AClientThatNeverRecords,
    testing::Values(NeverRecords { "IPv4Missing", true, true },
	NeverRecords { "IPv4EndsAtOnce", true, false },
	NeverRecords { "IPv6Missing", false, true },
	NeverRecords { "IPv6EndsAtOnce", false, false }),
    ByName());

TEST(Shutdown, StalePidOfAnotherProgramIsLeftAlone)
{
	in_sandbox({}, [] {
		pid_t other = fork();
		if (other == 0) {
			execl("/bin/sleep", "sleep", "600", (char *)nullptr);
			_exit(127);
		}
		ASSERT_TRUE(eventually([&] {
			return read_file("/proc/" + std::to_string(other) +
				   "/comm") == std::string("sleep\n");
		}));
		Started s = start_em0(false);
		ASSERT_GT(s.v6.pid, 0);
		write_client_pidfile("4", other);
		write_client_pidfile("6", s.v6.pid);

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(describe(wait_exit(other, 0)), "still running");
		EXPECT_EQ(first_term_sender(s.v6.pid), s.daemon);
		EXPECT_FALSE(exists(pidfile("em0")));
	});
}

TEST(Shutdown, WithoutProcfsTheClientsAreSignalledUnchecked)
{
#ifdef BISTACK_SANITIZED
	GTEST_SKIP() << "the sanitizers' run-time itself needs /proc";
#endif
	in_sandbox({}, [] {
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);
		/* An empty /proc: no process's name can be told. */
		ASSERT_EQ(mount("tmpfs", "/proc", "tmpfs", 0, nullptr), 0);

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(s.v4.pid), s.daemon);
		EXPECT_EQ(first_term_sender(s.v6.pid), s.daemon);
	});
}

/*
 * Where the daemon's PID file cannot be made or written: no directory, a
 * read-only one, or a full disk.
 */
class UnusableRunDirectory : public testing::TestWithParam<std::string> { };

TEST_P(UnusableRunDirectory, FailsTheCommandWithNothingStarted)
{
	const std::string why = GetParam();
	SandboxSetup setup;
	setup.run_dir = why != "Missing";
	in_sandbox(setup, [&] {
		if (why == "ReadOnly") {
			ASSERT_EQ(mount("tmpfs", "/var/run/dhclient", "tmpfs",
				      MS_RDONLY, nullptr),
			    0);
		} else if (why == "Full") {
			/* Full, yet a new file can be made. */
			ASSERT_EQ(mount("tmpfs", "/var/run/dhclient", "tmpfs",
				      0, "size=4k"),
			    0);
			write_file(
			    "/var/run/dhclient/filler", std::string(4096, 'x'));
		}
		EXPECT_EQ(describe(run_program({ "em0" })), "exit 1");
		EXPECT_EQ(program_stderr(), "");
		EXPECT_FALSE(exists(pidfile("em0")));
		/* Every process it made has ended and is reaped by now. */
		EXPECT_EQ(wait_exit(-1, 0), -2) << "a child was left";
		EXPECT_EQ(processes(), std::vector<pid_t> {});
		EXPECT_TRUE(started_clients().empty());
	});
}

INSTANTIATE_TEST_SUITE_P(Daemon, UnusableRunDirectory,
    testing::Values("Missing", "ReadOnly", "Full"),
    [](const testing::TestParamInfo<std::string> &info) { return info.param; });

TEST(OneDaemon, ASecondStartIsRefusedAndTheFirstStaysInCharge)
{
	in_sandbox({}, [] {
		Started first = start_em0();
		ASSERT_GT(first.v6.pid, 0);
		const std::optional<std::string> own =
		    read_file(pidfile("em0"));

		EXPECT_EQ(describe(run_program({ "em0" })), "exit 1");
		EXPECT_EQ(program_stderr(), "");
		EXPECT_EQ(started_clients().size(), 2u) << "no client started";
		EXPECT_EQ(read_file(pidfile("em0")), own);
		EXPECT_EQ(wait_exit(-1, 0), -1) << "only the first run is left";

		ASSERT_TRUE(send_sigterm(first.daemon));
		EXPECT_EQ(describe(wait_exit(first.daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(first.v4.pid), first.daemon);
		EXPECT_EQ(first_term_sender(first.v6.pid), first.daemon);
		EXPECT_FALSE(exists(pidfile("em0")));
	});
}

/*
 * Rounds of a start and an immediate stop: how many, how long the clients
 * take to record their PIDs, whether they go into the background at once
 * (then only their records lead to them), and whether the run directory
 * keeps time stamps to the second, so that a round's client can rewrite
 * its file within the same second as the round before.
 */
struct Rounds {
	const char *name;
	int rounds;
	int delay_ms;
	bool background;
	bool coarse;
};

void
PrintTo(const Rounds &r, std::ostream *os)
{
	*os << r.name;
}

class EarlyStop : public testing::TestWithParam<Rounds> { };

/*
 * Each round after the first finds the previous round's client PID files
 * still there, naming clients that have ended: those must not be taken for
 * this round's, nor this round's records for those.
 */
TEST_P(EarlyStop, SigtermAtOnceAfterTheCommandLeavesNothingRunning)
{
	const Rounds r = GetParam();
	if (r.coarse && getuid() != 0)
		GTEST_SKIP() << "a loop-mounted file system needs root";
	in_sandbox({}, [&] {
		if (r.coarse) {
			ASSERT_EQ(coarse_run_directory(), "");
		}
		setenv("FAKE_DHCLIENT_DELAY_MS",
		    std::to_string(r.delay_ms).c_str(), 1);
		if (r.background)
			setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		for (int round = 0; round < r.rounds; round++) {
			SCOPED_TRACE("round " + std::to_string(round));
			ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
			pid_t daemon = pid_in(pidfile("em0"));
			ASSERT_GT(daemon, 1);
			ASSERT_TRUE(send_sigterm(daemon));
			ASSERT_EQ(
			    describe(wait_exit(daemon, ends_within)), "exit 0");
			ASSERT_FALSE(exists(pidfile("em0")));
			ASSERT_TRUE(all_ended()) << "a client was left running";
		}
	});
}

INSTANTIATE_TEST_SUITE_P(Daemon, EarlyStop,
    testing::Values(Rounds { "QuickClients", 40, 0, false, false },
	Rounds { "SlowClients", 4, 300, false, false },
	Rounds {
	    "BackgroundClientsWithTimeStampsToTheSecond", 20, 0, true, true }),
    ByName());

/*
 * Clients that go into the background at once and record themselves only
 * after their window (a loaded machine can delay them that long) are taken
 * for ended, and the daemon follows the IPv4 client out.  Their processes,
 * given to it as their parents ended, end with it: none is left running
 * with no daemon standing for it.
 */
TEST(Daemon, FollowingItsClientOutEndsWhatRecordsLate)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		setenv("FAKE_DHCLIENT_DELAY_MS", "3000", 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 2; }));
		EXPECT_EQ(describe(wait_exit(daemon, ends_within)), "exit 0");
		EXPECT_TRUE(all_ended());
		for (const Client &client : started_clients())
			EXPECT_EQ(term_senders(client.pid),
			    std::vector<pid_t> { daemon })
			    << client.argv[0];
		EXPECT_FALSE(exists(pidfile("em0", "4")));
	});
}

TEST(Shutdown, AnEarlierRunsFilesNamingALiveDhclientAreNeverUsed)
{
	in_sandbox({}, [] {
		pid_t bystander = start_bystander();
		write_client_pidfile("4", bystander);
		write_client_pidfile("6", bystander);
		setenv("FAKE_DHCLIENT_DELAY_MS", "300", 1);

		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon, ends_within)), "exit 0");
		for (const Client &client : started_clients())
			EXPECT_TRUE(stopped_by(client.pid, daemon));
		EXPECT_TRUE(all_ended({ bystander }));
		EXPECT_EQ(first_term_sender(bystander), 1);
	});
}

/*
 * The daemon held by the test as soon as its PID can be read from its
 * file, while the starter still waits: a SIGTERM then (rc's stop, as its
 * start runs) stops the start, which fails, with nothing left.
 */
TEST(Daemon, SigtermWhileItRecordsItsPidIsNotLost)
{
	in_sandbox({}, [] {
		pid_t starter;
		pid_t daemon = start_held(Hold::Recorded, &starter);
		ASSERT_GT(daemon, 1);
		EXPECT_EQ(pid_in(pidfile("em0")), daemon);
		ASSERT_TRUE(send_sigterm(daemon));
		release_held(daemon);
		EXPECT_EQ(describe(wait_exit(starter)), "exit 1");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended()) << "a client was left running";
		for (const Client &client : started_clients())
			EXPECT_EQ(term_senders(client.pid),
			    std::vector<pid_t> { daemon });
	});
}

/*
 * Held as it enters its wait, just after it found no stop asked for.  The
 * stop signals are held back until then, so that none is caught after
 * that look and before the wait: one that comes is caught as the wait
 * begins, not lost.  They are all it catches or holds back.
 */
TEST(Daemon, SigtermAsItEntersItsWaitIsNotLost)
{
	in_sandbox({}, [] {
		pid_t starter;
		pid_t daemon = start_held(Hold::Waiting, &starter);
		ASSERT_GT(daemon, 1);
		EXPECT_EQ(pid_in(pidfile("em0")), daemon);
		/* The starter has ended, and the daemon is the test's child. */
		ASSERT_TRUE(eventually([&] {
			std::vector<std::string> fields = stat_fields(daemon);
			return fields.size() > 1 && fields[1] == "1";
		}));
		/*
		 * Held back and caught: the stop signals alone.  Ignored:
		 * every other but those kept at their default actions (its
		 * own faults, job control, SIGCHLD, which would otherwise let
		 * the system reap its clients before it has seen their ends).
		 */
		auto mask = [&](const char *field) {
			return strtoull(
			    status_field(daemon, field).c_str(), nullptr, 16);
		};
		unsigned long long stop = 0, kept = 0;
		for (int sig : { SIGTERM, SIGHUP, SIGINT, SIGQUIT })
			stop |= 1ULL << (sig - 1);
		for (int sig : { SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT,
			 SIGTRAP, SIGSYS, SIGCHLD, SIGCONT, SIGTSTP, SIGTTIN,
			 SIGTTOU, SIGKILL, SIGSTOP })
			kept |= 1ULL << (sig - 1);
		unsigned long long all =
		    SIGRTMAX == 64 ? ~0ULL : (1ULL << SIGRTMAX) - 1;
		EXPECT_EQ(mask("SigBlk"), stop);
		/* A sanitizer's run-time catches faults of its own. */
		EXPECT_EQ(mask("SigCgt") & ~kept, stop);
		EXPECT_EQ(mask("SigIgn"), all & ~stop & ~kept);
		ASSERT_TRUE(send_sigterm(daemon));
		release_held(daemon);
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_TRUE(all_ended());
	});
}

/* The stop signals besides SIGTERM stop the daemon as SIGTERM does. */
class StopSignal : public testing::TestWithParam<int> { };

TEST_P(StopSignal, StopsTheDaemonAsSigtermDoes)
{
	in_sandbox({}, [] {
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);

		ASSERT_EQ(kill(s.daemon, GetParam()), 0);
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(stopped_by(s.v4.pid, s.daemon));
		EXPECT_TRUE(stopped_by(s.v6.pid, s.daemon));
		EXPECT_FALSE(exists(pidfile("em0")));
	});
}

INSTANTIATE_TEST_SUITE_P(Daemon, StopSignal,
    testing::Values(SIGHUP, SIGINT, SIGQUIT),
    [](const testing::TestParamInfo<int> &info) {
	    return std::string(sigabbrev_np(info.param));
    });

/*
 * Every signal that a process can catch and that ends it by default, as
 * this system has them: each is tried on a child of the test's.  Those that
 * report a process's own fault are left out.
 */
std::vector<int>
signals_that_end_a_process()
{
	const std::vector<int> faults { SIGSEGV, SIGBUS, SIGILL, SIGFPE,
		SIGABRT, SIGTRAP, SIGSYS };
	std::vector<int> ending;
	for (int sig = 1; sig <= SIGRTMAX; sig++) {
		struct sigaction dfl, old;
		memset(&dfl, 0, sizeof(dfl));
		dfl.sa_handler = SIG_DFL;
		if (std::count(faults.begin(), faults.end(), sig) != 0 ||
		    sigaction(sig, &dfl, &old) == -1)
			continue;
		sigaction(sig, &old, nullptr);
		pid_t child = fork();
		if (child == 0) {
			struct rlimit none = { 0, 0 };
			sigset_t all;
			setrlimit(RLIMIT_CORE, &none);
			sigfillset(&all);
			sigprocmask(SIG_UNBLOCK, &all, nullptr);
			sigaction(sig, &dfl, nullptr);
			raise(sig);
			_exit(0);
		}
		int status;
		if (waitpid(child, &status, WUNTRACED) != child)
			continue;
		if (WIFSTOPPED(status)) {
			kill(child, SIGKILL);
			waitpid(child, &status, 0);
		} else if (WIFSIGNALED(status)) {
			ending.push_back(sig);
		}
	}
	return ending;
}

/*
 * Any other such signal would end the daemon without a stop, and leave
 * both clients running with nothing standing for them: each is ignored.
 */
TEST(Daemon, SurvivesEverySignalThatWouldEndItButTheStopSignals)
{
	in_sandbox({}, [] {
		std::vector<int> others;
		for (int sig : signals_that_end_a_process())
			if (sig != SIGTERM && sig != SIGHUP && sig != SIGINT &&
			    sig != SIGQUIT)
				others.push_back(sig);
		/*
		 * glibc keeps 32 and 33 for its threads and will not set
		 * them, but they end a process all the same.
		 */
		for (int sig : { 32, 33 })
			if (std::count(others.begin(), others.end(), sig) == 0)
				others.push_back(sig);
		/* SIGUSR1 to the last real-time signal, and more. */
		ASSERT_GE(others.size(), 40u);
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);

		for (int sig : others)
			ASSERT_EQ(kill(s.daemon, sig), 0);
		/* None stops it, either. */
		EXPECT_EQ(describe(wait_exit(s.daemon, 200)), "still running");
		EXPECT_TRUE(terms_received().empty());
		/* One that was not ignored would show here as its signal. */
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(stopped_by(s.v4.pid, s.daemon));
		EXPECT_TRUE(stopped_by(s.v6.pid, s.daemon));
	});
}

TEST(Daemon, OutlivesAStarterKilledBeforeItsReport)
{
	in_sandbox({}, [] {
		pid_t starter;
		pid_t daemon = start_held(Hold::Reporting, &starter);
		ASSERT_GT(daemon, 1);
		ASSERT_EQ(kill(starter, SIGKILL), 0);
		EXPECT_EQ(describe(wait_exit(starter)), "signal 9");
		release_held(daemon);
		EXPECT_EQ(describe(wait_exit(daemon, 500)), "still running");

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
	});
}

/*
 * How the IPv4 client ended on its own: killed, or gone with its PID file,
 * as the base client's helper removes it.  The clients are in the
 * background, as real ones soon are: the process that ends was given to
 * the daemon as its parent ended.
 */
class IPv4ClientEnds : public testing::TestWithParam<std::string> { };

TEST_P(IPv4ClientEnds, TheDaemonStopsTheIPv6ClientAndEnds)
{
	in_sandbox({}, [] {
		const std::string how = GetParam();
		setenv("FAKE_DHCLIENT_BACKGROUND", "1", 1);
		Started s = start_em0();
		ASSERT_TRUE(eventually([&] {
			std::vector<std::string> fields = stat_fields(s.v4.pid);
			return fields.size() > 1 &&
			    fields[1] == std::to_string(s.daemon);
		}));
		ASSERT_GT(s.v6.pid, 0);
		ASSERT_EQ(kill(s.v4.pid, SIGKILL), 0);
		if (how == "FileRemoved") {
			ASSERT_EQ(unlink(pidfile("em0", "4").c_str()), 0);
		}

		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_TRUE(stopped_by(s.v6.pid, s.daemon));
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_EQ(program_stderr(), "");

		/* The system may start the interface's client again. */
		Started again = start_em0();
		EXPECT_GT(again.v6.pid, 0);
		EXPECT_NE(again.daemon, s.daemon);
	});
}

INSTANTIATE_TEST_SUITE_P(OnItsOwn, IPv4ClientEnds,
    testing::Values("Killed", "FileRemoved"),
    [](const testing::TestParamInfo<std::string> &info) { return info.param; });

/*
 * An IPv4 client that records its PID only seconds after it starts, with
 * no file there before, or with an earlier run's naming an ended process.
 */
class SlowIPv4Record : public testing::TestWithParam<std::string> { };

TEST_P(SlowIPv4Record, IsNotTakenForAClientThatEnded)
{
	in_sandbox({}, [] {
		if (GetParam() == "EarlierRunsFileNamingAnEndedProcess")
			write_client_pidfile("4", ended_process());
		setenv("FAKE_DHCLIENT_DELAY_MS", "3500", 1);
		ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
		pid_t daemon = pid_in(pidfile("em0"));
		ASSERT_GT(daemon, 1);
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 2; }));
		std::vector<Client> clients = started_clients();

		ASSERT_TRUE(eventually(
		    [&] {
			    return pid_in(pidfile("em0", "4")) ==
				clients[0].pid;
		    },
		    8000));
		EXPECT_EQ(describe(wait_exit(daemon, 0)), "still running");
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon, ends_within)), "exit 0");
		for (const Client &client : clients)
			EXPECT_TRUE(stopped_by(client.pid, daemon));
	});
}

INSTANTIATE_TEST_SUITE_P(OnItsOwn, SlowIPv4Record,
    testing::Values("NoEarlierFile", "EarlierRunsFileNamingAnEndedProcess"),
    [](const testing::TestParamInfo<std::string> &info) { return info.param; });

/*
 * An IPv4 client that goes into the background twice, and records its new
 * PID some time after its old process has ended each time: while it holds
 * its PID file locked, as the base client does, or else soon enough.
 */
struct Refork {
	const char *name;
	const char *lock; /* how long its helper outlives it; nullptr: none */
	const char *record_ms;
};

void
PrintTo(const Refork &r, std::ostream *os)
{
	*os << r.name;
}

class IPv4ClientForks : public testing::TestWithParam<Refork> { };

TEST_P(IPv4ClientForks, AndRecordsItsNewPidAndIsStillServed)
{
	in_sandbox({}, [] {
		const Refork r = GetParam();
		slow_clock(timed_slower);
		setenv("FAKE_DHCLIENT_REFORK", "2", 1);
		setenv("FAKE_DHCLIENT_REFORK_GAP_MS", "300", 1);
		setenv("FAKE_DHCLIENT_REFORK_MS", r.record_ms, 1);
		if (r.lock != nullptr)
			setenv("FAKE_DHCLIENT_LOCK", r.lock, 1);
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);
		pid_t last = 0;
		ASSERT_TRUE(
		    eventually([&] { return (last = reforked_client()) != 0; },
			slowed(4000)));
		EXPECT_EQ(pid_in(pidfile("em0", "4")), last);
		EXPECT_TRUE(eventually([&] {
			return watches(s.daemon, { last, s.v6.pid });
		}));
		EXPECT_EQ(describe(wait_exit(s.daemon, 0)), "still running");

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(last), s.daemon);
		EXPECT_EQ(first_term_sender(s.v6.pid), s.daemon);
	});
}

INSTANTIATE_TEST_SUITE_P(OnItsOwn, IPv4ClientForks,
    testing::Values(Refork { "HoldingItsFileLocked", "20", "300" },
	Refork { "WithoutALockWithin150ms", nullptr, "150" }),
    ByName());

} // namespace
