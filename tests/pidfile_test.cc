/*
 * Reading a client's PID file: "%d" as scanf reads it, but only usable PIDs,
 * and only from a regular file.
 */

#include <sys/stat.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pidfile.h"

namespace {

struct Case {
	std::string text;
	pid_t pid;
};

class ReadPid : public testing::TestWithParam<Case> { };

TEST_P(ReadPid, TakesTheLeadingNumberOrNothing)
{
	const Case &c = GetParam();
	EXPECT_EQ(parse_pid(c.text.data(), c.text.size()), c.pid)
	    << "reading \"" << c.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(Texts, ReadPid,
    testing::Values(
	/* What clients write, and what "%d" also accepts. */
	Case { "1234\n", 1234 }, Case { "1234", 1234 }, Case { "  \t\n77", 77 },
	Case { "+5\n", 5 }, Case { "12abc", 12 }, Case { "8 9", 8 },
	Case { "2147483647", INT_MAX },
	/* No usable PID: nothing, no digits, or 0, negative, too large. */
	Case { "", -1 }, Case { "\n", -1 }, Case { "abc", -1 },
	Case { "+", -1 }, Case { "- 5", -1 }, Case { "0", -1 },
	Case { "-0", -1 }, Case { "-1", -1 }, Case { "-2147483648", -1 },
	Case { "2147483648", -1 },
	/* glibc's "%d" wraps this one to 1. */
	Case { "4294967297", -1 },
	Case { "99999999999999999999999999999999", -1 },
	Case { std::string("\0"
			   "12",
		   3),
	    -1 }),
    [](const testing::TestParamInfo<Case> &info) {
	    return "case" + std::to_string(info.index);
    });

/*
 * The whole file as the daemon sees it: only regular files are read, never
 * waiting on a FIFO, and only their first bytes.
 */
struct FileCase {
	const char *what;
	std::string text; /* "fifo" and "dir" make those instead */
	int exists;
	pid_t pid;
};

void
PrintTo(const FileCase &c, std::ostream *os)
{
	*os << c.what;
}

class ReadPidfile : public testing::TestWithParam<FileCase> { };

TEST_P(ReadPidfile, ReadsOnlyTheStartOfARegularFile)
{
	const FileCase &c = GetParam();
	char dir[] = "/tmp/pidfile_test.XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	std::string path = std::string(dir) + "/f.pid";
	if (c.text == "fifo") {
		ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	} else if (c.text == "dir") {
		ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
	} else if (c.exists) {
		FILE *fp = fopen(path.c_str(), "w");
		ASSERT_NE(fp, nullptr);
		fwrite(c.text.data(), 1, c.text.size(), fp);
		fclose(fp);
	}

	struct pidfile_state state;
	read_pidfile(path.c_str(), &state);
	EXPECT_EQ(state.exists, c.exists);
	EXPECT_EQ(state.pid, c.pid);

	remove(path.c_str());
	rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadPidfile,
    testing::Values(FileCase { "missing", "", 0, -1 },
	FileCase { "empty", "", 1, 0 },
	FileCase { "as written", "1234\n", 1, 1234 },
	FileCase { "long tail", "1234\n" + std::string(200, 'x'), 1, 1234 },
	FileCase {
	    "number past the bound", std::string(70, ' ') + "1234", 1, -1 },
	FileCase {
	    "number up to the bound", std::string(60, ' ') + "1234", 1, -1 },
	FileCase { "digits past the bound", std::string(80, '7'), 1, -1 },
	FileCase { "FIFO", "fifo", 1, -1 },
	FileCase { "directory", "dir", 1, -1 }),
    [](const testing::TestParamInfo<FileCase> &info) {
	    return "case" + std::to_string(info.index);
    });

} // namespace
