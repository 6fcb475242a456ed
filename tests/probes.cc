/*
 * What the tests ask of the system: processes and their descriptors as
 * /proc shows them, files, the clock, and waits for a condition.
 */

#include <sys/wait.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace {

void
pause_briefly()
{
	struct timespec ts = { 0, 2 * 1000 * 1000 };
	nanosleep(&ts, nullptr);
}

} // namespace

pid_t
watched_by_fd(pid_t pid, int fd)
{
	std::string proc = "/proc/" + std::to_string(pid);
	char target[64] = "";
	if (readlink((proc + "/fd/" + std::to_string(fd)).c_str(), target,
		sizeof(target) - 1) <= 0 ||
	    strcmp(target, "anon_inode:[pidfd]") != 0)
		return 0;
	std::string info =
	    read_file(proc + "/fdinfo/" + std::to_string(fd)).value_or("");
	size_t at = info.find("\nPid:\t");
	return at == std::string::npos ? 0 : atoi(info.c_str() + at + 6);
}

std::vector<pid_t>
watched_by(pid_t pid)
{
	std::vector<pid_t> pids;
	for (const std::string &fd :
	    list_dir("/proc/" + std::to_string(pid) + "/fd")) {
		pid_t watched = watched_by_fd(pid, atoi(fd.c_str()));
		if (watched != 0)
			pids.push_back(watched);
	}
	std::sort(pids.begin(), pids.end());
	return pids;
}

std::vector<std::string>
fd_targets(pid_t pid)
{
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	std::vector<std::string> names = list_dir(dir), targets;
	std::sort(names.begin(), names.end(),
	    [](const std::string &a, const std::string &b) {
		    return atoi(a.c_str()) < atoi(b.c_str());
	    });
	for (const std::string &name : names) {
		char target[PATH_MAX] = "";
		ssize_t n = readlink(
		    (dir + "/" + name).c_str(), target, sizeof(target) - 1);
		std::string t(target, n > 0 ? (size_t)n : 0);
		for (const char *kind : { "socket", "pipe" })
			if (t.rfind(std::string(kind) + ":", 0) == 0)
				t = kind;
		if (t == "anon_inode:[pidfd]")
			t = "pidfd";
		targets.push_back(t);
	}
	return targets;
}

std::vector<std::string>
fd_targets_at_rest(pid_t pid)
{
	std::string proc = "/proc/" + std::to_string(pid);
	auto waiting = [&] {
		std::string call = read_file(proc + "/syscall").value_or("");
		std::string status = read_file(proc + "/status").value_or("");
		size_t at = status.find("voluntary_ctxt_switches:");
		if (call.empty() || call.rfind("running", 0) == 0 ||
		    at == std::string::npos)
			return std::string();
		return call.substr(0, call.find(' ')) + " " +
		    status.substr(at, status.find('\n', at) - at);
	};
	std::vector<std::string> targets;
	EXPECT_TRUE(eventually([&] {
		std::string before = waiting();
		targets = fd_targets(pid);
		return !before.empty() && waiting() == before;
	})) << pid
	    << " was never found at rest";
	return targets;
}

std::vector<std::string>
daemon_fds_at_rest(pid_t daemon)
{
	std::vector<std::string> targets;
	EXPECT_TRUE(eventually([&] {
		targets = fd_targets_at_rest(daemon);
		return std::count(targets.begin(), targets.end(), "socket") ==
		    0;
	})) << testing::PrintToString(targets);
	return targets;
}

testing::AssertionResult
all_ended(const std::vector<pid_t> &kept, int ms)
{
	std::vector<pid_t> left;
	if (eventually(
		[&] {
			while (waitpid(-1, nullptr, WNOHANG) > 0)
				;
			left.clear();
			for (pid_t pid : processes())
				if (std::find(kept.begin(), kept.end(), pid) ==
				    kept.end())
					left.push_back(pid);
			return left.empty();
		},
		ms))
		return testing::AssertionSuccess();
	testing::AssertionResult still = testing::AssertionFailure();
	still << "left running:";
	for (pid_t pid : left) {
		std::vector<std::string> fields = stat_fields(pid);
		std::string comm =
		    read_file("/proc/" + std::to_string(pid) + "/cmdline")
			.value_or("");
		std::replace(comm.begin(), comm.end(), '\0', ' ');
		still << " " << pid << " (" << comm << "; parent "
		      << (fields.size() > 1 ? fields[1] : "?") << ")";
	}
	return still;
}

long
now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool
shell(const std::string &command)
{
	return system(command.c_str()) == 0;
}

bool
eventually(const std::function<bool()> &cond, int ms)
{
	struct timespec start, now;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		if (cond())
			return true;
		clock_gettime(CLOCK_MONOTONIC, &now);
		if ((now.tv_sec - start.tv_sec) * 1000 +
			(now.tv_nsec - start.tv_nsec) / 1000000 >=
		    ms)
			return false;
		pause_briefly();
	}
}

int
wait_exit(pid_t pid, int ms)
{
	int status = -1;
	eventually(
	    [&] {
		    pid_t got;
		    while ((got = waitpid(pid, &status, WNOHANG)) == -1 &&
			errno == EINTR)
			    ;
		    if (got == 0)
			    status = -1;
		    else if (got == -1)
			    status = -2;
		    return got != 0;
	    },
	    ms);
	return status;
}

std::string
describe(int status)
{
	if (status == -1)
		return "still running";
	if (status == -2)
		return "not a child of the test";
	if (WIFEXITED(status))
		return "exit " + std::to_string(WEXITSTATUS(status));
	return "signal " + std::to_string(WTERMSIG(status));
}

std::optional<std::string>
read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		return std::nullopt;
	std::ostringstream data;
	data << in.rdbuf();
	return data.str();
}

pid_t
pid_in(const std::string &path)
{
	return atoi(read_file(path).value_or("0").c_str());
}

bool
exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

void
write_file(const std::string &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
	out.close();
	EXPECT_TRUE(out.good()) << "cannot write " << path;
}

std::vector<std::string>
list_dir(const std::string &path)
{
	std::vector<std::string> names;
	DIR *dir = opendir(path.c_str());
	if (dir == nullptr)
		return names;
	while (struct dirent *entry = readdir(dir))
		if (strcmp(entry->d_name, ".") != 0 &&
		    strcmp(entry->d_name, "..") != 0)
			names.push_back(entry->d_name);
	closedir(dir);
	std::sort(names.begin(), names.end());
	return names;
}

std::vector<pid_t>
processes()
{
	std::vector<pid_t> pids;
	DIR *dir = opendir("/proc");
	while (struct dirent *entry = readdir(dir)) {
		pid_t pid = atoi(entry->d_name);
		if (pid > 1)
			pids.push_back(pid);
	}
	closedir(dir);
	std::sort(pids.begin(), pids.end());
	return pids;
}

std::vector<std::string>
stat_fields(pid_t pid)
{
	std::vector<std::string> fields;
	std::string stat =
	    read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
	size_t close = stat.rfind(')');
	if (close == std::string::npos)
		return fields;
	std::istringstream in(stat.substr(close + 1));
	for (std::string field; in >> field;)
		fields.push_back(field);
	return fields;
}

std::string
status_field(pid_t pid, const std::string &field)
{
	std::string status =
	    read_file("/proc/" + std::to_string(pid) + "/status").value_or("");
	size_t at = status.find("\n" + field + ":\t");
	if (at == std::string::npos)
		return "";
	at += field.size() + 3;
	return status.substr(at, status.find('\n', at) - at);
}

bool
alive(pid_t pid)
{
	std::vector<std::string> fields = stat_fields(pid);
	return !fields.empty() && fields[0] != "Z";
}

std::string
pidfile(const std::string &ifname, const std::string &tag)
{
	return "/var/run/dhclient/dhclient." + ifname +
	    (tag.empty() ? "" : "." + tag) + ".pid";
}
