/* The detached daemon: readiness, its PID file, and the shutdown. */

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

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
 * PID file, and its channel to the IPv6 client's process.
 */
std::vector<std::string>
daemon_fds(const std::string &ifname)
{
	std::string own = pidfile(ifname);
	return { "/dev/null", "/dev/null", "/dev/null",
		own.substr(own.find("/run/")), "socket" };
}

/* Name pid in a client's PID file, as the clients themselves write it. */
void
write_client_pidfile(const char *tag, pid_t pid)
{
	write_file(pidfile("em0", tag), std::to_string(pid) + "\n");
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

		EXPECT_EQ(fd_targets(daemon), daemon_fds("em0"));
		EXPECT_EQ(program_stderr(), "");
	});
}

/* How a client's PID file may look; %d stands for its PID. */
class ClientPidfileText : public testing::TestWithParam<std::string> { };

TEST_P(ClientPidfileText, SigtermStopsBothClientsAndRemovesThePidfile)
{
	in_sandbox({}, [] {
		const std::string format = GetParam();
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
    testing::Values("%d\n", "%d", "   %d\n", "\n\t%d 12\n", "+%d"),
    [](const testing::TestParamInfo<std::string> &info) {
	    return "form" + std::to_string(info.index);
    });

/*
 * How long a stop may wait for a client that has not recorded its PID (a
 * few seconds), with room to spare: the deadline for the daemon's end.
 */
const int record_wait = 9000;

/*
 * What the IPv4 client's PID file holds, when it holds no usable PID, or
 * what is there instead of a regular file; B
 * stands for the PID of a bystander, a live process named dhclient that
 * leads a process group of its own.
 */
class BadIPv4Pidfile : public testing::TestWithParam<const char *> { };

TEST_P(BadIPv4Pidfile, EndsTheDaemonBeforeTheIPv6ClientIsSignalled)
{
	in_sandbox({}, [] {
		const std::string text = GetParam();
		pid_t bystander = start_bystander();
		Started s = start_em0(false);
		ASSERT_GT(s.v6.pid, 0);
		write_client_pidfile("6", s.v6.pid);
		const std::string v4 = pidfile("em0", "4");
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

		/* A file that stays missing or empty is waited for first. */
		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon, record_wait)), "exit 1");
		EXPECT_EQ(read_file(pidfile("em0")), std::to_string(s.daemon))
		    << "its PID file stays";
		EXPECT_EQ(first_term_sender(s.v6.pid), 1);
		EXPECT_EQ(first_term_sender(bystander), 1);
		EXPECT_EQ(first_term_sender(s.v4.pid), 1);
	});
}

INSTANTIATE_TEST_SUITE_P(Shutdown, BadIPv4Pidfile,
    testing::Values("missing", "", "\n", "dhclient\n", "0\n", "-1\n", "-B\n",
	"wrap B", "fifo", "directory", "device"),
    [](const testing::TestParamInfo<const char *> &info) {
	    return "case" + std::to_string(info.index);
    });

TEST(Shutdown, MissingIPv6PidfileEndsTheDaemonAfterTheIPv4Client)
{
	in_sandbox({}, [] {
		Started s = start_em0(false);
		ASSERT_GT(s.v4.pid, 0);
		write_client_pidfile("4", s.v4.pid);

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon, record_wait)), "exit 1");
		EXPECT_EQ(first_term_sender(s.v4.pid), s.daemon);
		EXPECT_EQ(first_term_sender(s.v6.pid), 1);
		EXPECT_TRUE(exists(pidfile("em0")));
	});
}

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
 * How long the clients take to record their PIDs, in milliseconds, and how
 * many start/stop rounds are run with that delay.
 */
struct Slowness {
	int delay_ms;
	int rounds;
};

void
PrintTo(const Slowness &s, std::ostream *os)
{
	*os << s.delay_ms << " ms";
}

class EarlyStop : public testing::TestWithParam<Slowness> { };

/*
 * Each round after the first finds the previous round's client PID files
 * still there, naming clients that have ended: those must not be taken for
 * this round's.
 */
TEST_P(EarlyStop, SigtermAtOnceAfterTheCommandStopsBothClients)
{
	in_sandbox({}, [] {
		const Slowness slow = GetParam();
		setenv("FAKE_DHCLIENT_DELAY_MS",
		    std::to_string(slow.delay_ms).c_str(), 1);
		for (int round = 0; round < slow.rounds; round++) {
			SCOPED_TRACE("round " + std::to_string(round));
			ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
			pid_t daemon = pid_in(pidfile("em0"));
			ASSERT_GT(daemon, 1);
			ASSERT_TRUE(send_sigterm(daemon));
			ASSERT_EQ(describe(wait_exit(daemon)), "exit 0");
			ASSERT_FALSE(exists(pidfile("em0")));
			std::vector<Client> clients = started_clients();
			ASSERT_EQ(clients.size(), 2u * (round + 1));
			for (size_t i = clients.size() - 2; i < clients.size();
			     i++) {
				EXPECT_EQ(describe(wait_exit(clients[i].pid)),
				    "exit 0");
				EXPECT_EQ(term_senders(clients[i].pid),
				    std::vector<pid_t> { daemon });
			}
			if (testing::Test::HasFailure())
				return;
		}
	});
}

INSTANTIATE_TEST_SUITE_P(Daemon, EarlyStop,
    testing::Values(Slowness { 0, 40 }, Slowness { 300, 4 }),
    [](const testing::TestParamInfo<Slowness> &info) {
	    return info.param.delay_ms == 0 ? "QuickClients" : "SlowClients";
    });

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
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		std::vector<Client> clients = started_clients();
		ASSERT_EQ(clients.size(), 2u);
		for (const Client &client : clients)
			EXPECT_EQ(first_term_sender(client.pid), daemon);
		EXPECT_EQ(first_term_sender(bystander), 1);
	});
}

/*
 * The daemon held by the test as soon as its PID can be read from its
 * file, while the starter still waits.
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
		EXPECT_EQ(describe(wait_exit(starter)), "exit 0");
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
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
 * How the IPv4 client ended on its own: killed and left unreaped (a
 * zombie), killed and reaped, or gone with its PID file, as the base
 * client's helper removes it.
 */
class IPv4ClientEnds : public testing::TestWithParam<std::string> { };

TEST_P(IPv4ClientEnds, TheDaemonStopsTheIPv6ClientAndEnds)
{
	in_sandbox({}, [] {
		const std::string how = GetParam();
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);
		ASSERT_TRUE(daemon_looked_again(s.daemon));
		ASSERT_EQ(kill(s.v4.pid, SIGKILL), 0);
		if (how != "zombie") {
			EXPECT_EQ(describe(wait_exit(s.v4.pid)), "signal 9");
		}
		if (how == "file removed") {
			ASSERT_EQ(unlink(pidfile("em0", "4").c_str()), 0);
		}

		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(
		    term_senders(s.v6.pid), std::vector<pid_t> { s.daemon });
		EXPECT_FALSE(exists(pidfile("em0")));
		EXPECT_EQ(program_stderr(), "");

		/* The system may start the interface's client again. */
		Started again = start_em0();
		EXPECT_GT(again.v6.pid, 0);
		EXPECT_NE(again.daemon, s.daemon);
	});
}

INSTANTIATE_TEST_SUITE_P(OnItsOwn, IPv4ClientEnds,
    testing::Values("zombie", "reaped", "file removed"),
    [](const testing::TestParamInfo<std::string> &info) {
	    return info.param == "file removed" ? "FileRemoved" : info.param;
    });

TEST(OnItsOwn, AnIPv4ClientThatForksAndRecordsItsNewPidIsStillServed)
{
	in_sandbox({}, [] {
		setenv("FAKE_DHCLIENT_REFORK", "3", 1);
		Started s = start_em0();
		ASSERT_GT(s.v6.pid, 0);
		/* Three times, the file names an ended process for 700 ms. */
		pid_t last = 0;
		ASSERT_TRUE(eventually(
		    [&] {
			    for (const std::string &name :
				list_dir("/run/test/records"))
				    if (name.rfind("reforked.", 0) == 0)
					    last = atoi(name.c_str() + 9);
			    return last != 0;
		    },
		    15000));
		EXPECT_EQ(pid_in(pidfile("em0", "4")), last);
		/* Two of the daemon's looks after the last change. */
		EXPECT_EQ(describe(wait_exit(s.daemon, 2500)), "still running");

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 0");
		EXPECT_EQ(first_term_sender(last), s.daemon);
		EXPECT_EQ(first_term_sender(s.v6.pid), s.daemon);
	});
}

} // namespace
