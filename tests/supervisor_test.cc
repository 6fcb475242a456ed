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

		/* Nothing but what it inherited: no channel, no PID file. */
		EXPECT_EQ(list_dir("/proc/" + std::to_string(daemon) + "/fd"),
		    (std::vector<std::string> { "0", "1", "2" }));
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
 * What the IPv4 client's PID file holds, when it holds no usable PID; B
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
		if (text != "missing") {
			std::string filled = text;
			size_t b = filled.find('B');
			if (b != std::string::npos)
				filled.replace(b, 1, std::to_string(bystander));
			if (filled.rfind("wrap ", 0) == 0)
				filled =
				    std::to_string((1LL << 32) + bystander);
			write_file(pidfile("em0", "4"), filled);
		}

		ASSERT_TRUE(send_sigterm(s.daemon));
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 1");
		EXPECT_EQ(read_file(pidfile("em0")), std::to_string(s.daemon))
		    << "its PID file stays";
		EXPECT_EQ(first_term_sender(s.v6.pid), 1);
		EXPECT_EQ(first_term_sender(bystander), 1);
		EXPECT_EQ(first_term_sender(s.v4.pid), 1);
	});
}

INSTANTIATE_TEST_SUITE_P(Shutdown, BadIPv4Pidfile,
    testing::Values(
	"missing", "", "\n", "dhclient\n", "0\n", "-1\n", "-B\n", "wrap B"),
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
		EXPECT_EQ(describe(wait_exit(s.daemon)), "exit 1");
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

/* Where the daemon cannot record its PID: no directory, or a full disk. */
class UnusableRunDirectory : public testing::TestWithParam<bool> { };

TEST_P(UnusableRunDirectory, FailsTheCommandAndLeavesNoPidfile)
{
	const bool missing = GetParam();
	SandboxSetup setup;
	setup.run_dir = !missing;
	in_sandbox(setup, [&] {
		if (!missing) {
			/*
			 * Full, yet a new file can be made: the write
			 * fails late.
			 */
			ASSERT_EQ(mount("tmpfs", "/var/run/dhclient", "tmpfs",
				      0, "size=4k"),
			    0);
			write_file(
			    "/var/run/dhclient/filler", std::string(4096, 'x'));
		}
		EXPECT_EQ(describe(run_program({ "em0" })), "exit 1");
		EXPECT_EQ(program_stderr(), "");
		EXPECT_FALSE(exists(pidfile("em0")));
		/* The clients run on; nothing is rolled back. */
		ASSERT_TRUE(
		    eventually([] { return started_clients().size() == 2; }));
		for (const Client &client : started_clients())
			EXPECT_TRUE(alive(client.pid));
		/* The daemon ended with 1 before the command did. */
		EXPECT_EQ(describe(wait_exit(-1)), "exit 1");
	});
}

INSTANTIATE_TEST_SUITE_P(Daemon, UnusableRunDirectory, testing::Bool(),
    [](const testing::TestParamInfo<bool> &info) {
	    return info.param ? "Missing" : "Full";
    });

/* Client PID files that name no process: signalled harmlessly. */
void
write_absent_client_pidfiles()
{
	setenv("FAKE_DHCLIENT_NO_PIDFILE", "1", 1);
	write_client_pidfile("4", 4000000);
	write_client_pidfile("6", 4000001);
}

TEST(Daemon, SigtermRightAfterTheCommandReturnsIsNeverLost)
{
	in_sandbox({}, [] {
		write_absent_client_pidfiles();
		for (int round = 0; round < 40; round++) {
			SCOPED_TRACE("round " + std::to_string(round));
			ASSERT_EQ(describe(run_program({ "em0" })), "exit 0");
			pid_t daemon = pid_in(pidfile("em0"));
			ASSERT_GT(daemon, 0);
			ASSERT_TRUE(send_sigterm(daemon));
			ASSERT_EQ(describe(wait_exit(daemon)), "exit 0");
			ASSERT_FALSE(exists(pidfile("em0")));
		}
	});
}

/*
 * Catch the daemon in the middle of recording its PID: with a FIFO in
 * place of its PID file, opening it blocks until the test reads it.
 * Returns the daemon once it is blocked there.
 */
pid_t
start_and_hold_at_pidfile(pid_t *starter)
{
	write_absent_client_pidfiles();
	EXPECT_EQ(mkfifo(pidfile("em0").c_str(), 0644), 0);
	*starter = start_program({ "em0" });
	pid_t daemon = 0;
	EXPECT_TRUE(eventually([&] {
		for (pid_t pid : processes()) {
			std::vector<std::string> fields = stat_fields(pid);
			if (fields.size() > 1 &&
			    fields[1] == std::to_string(*starter) &&
			    read_file("/proc/" + std::to_string(pid) +
				"/wchan") == std::string("wait_for_partner"))
				daemon = pid;
		}
		return daemon != 0;
	})) << "the daemon did not reach its PID file";
	return daemon;
}

/*
 * Let the held daemon go on: what it writes into its PID file, up to its
 * close.  Read without blocking, so a daemon that died cannot hang the test.
 */
std::string
release_pidfile()
{
	int fd = open(pidfile("em0").c_str(), O_RDONLY | O_NONBLOCK);
	std::string text;
	char buf[64];
	EXPECT_TRUE(eventually([&] {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n > 0)
			text.append(buf, (size_t)n);
		return n == 0;
	})) << "the daemon did not close its PID file";
	close(fd);
	return text;
}

TEST(Daemon, SigtermWhileItRecordsItsPidIsNotLost)
{
	in_sandbox({}, [] {
		pid_t starter;
		pid_t daemon = start_and_hold_at_pidfile(&starter);
		ASSERT_GT(daemon, 0);
		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(release_pidfile(), std::to_string(daemon));
		EXPECT_EQ(describe(wait_exit(starter)), "exit 0");
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
		EXPECT_FALSE(exists(pidfile("em0")));
	});
}

TEST(Daemon, OutlivesAStarterKilledBeforeItsReport)
{
	in_sandbox({}, [] {
		pid_t starter;
		pid_t daemon = start_and_hold_at_pidfile(&starter);
		ASSERT_GT(daemon, 0);
		ASSERT_EQ(kill(starter, SIGKILL), 0);
		EXPECT_EQ(describe(wait_exit(starter)), "signal 9");
		EXPECT_EQ(release_pidfile(), std::to_string(daemon));

		ASSERT_TRUE(send_sigterm(daemon));
		EXPECT_EQ(describe(wait_exit(daemon)), "exit 0");
	});
}

} // namespace
