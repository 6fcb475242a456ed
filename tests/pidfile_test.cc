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

#include "named.h"
#include "pidfile.h"

namespace {

struct Case {
	const char *name;
	std::string text;
	pid_t pid;
};

void
PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

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
	Case { "WithNewline", "1234\n", 1234 }, Case { "Bare", "1234", 1234 },
	Case { "AfterWhiteSpace", "  \t\n77", 77 },
	Case { "WithAPlusSign", "+5\n", 5 },
	Case { "BeforeAWord", "12abc", 12 },
	Case { "BeforeAnotherNumber", "8 9", 8 },
	Case { "Largest", "2147483647", INT_MAX },
	/* No usable PID: nothing, no digits, or 0, negative, too large. */
	Case { "Empty", "", -1 }, Case { "Newline", "\n", -1 },
	Case { "Word", "abc", -1 }, Case { "LonePlus", "+", -1 },
	Case { "MinusThenBlank", "- 5", -1 }, Case { "Zero", "0", -1 },
	Case { "MinusZero", "-0", -1 }, Case { "MinusOne", "-1", -1 },
	Case { "Smallest", "-2147483648", -1 },
	Case { "OnePastTheLargest", "2147483648", -1 },
	/* glibc's "%d" wraps this one to 1. */
	Case { "WrapsToOne", "4294967297", -1 },
	Case { "ThirtyTwoDigits", "99999999999999999999999999999999", -1 },
	Case { "AfterANul",
	    std::string("\0"
			"12",
		3),
	    -1 }),
    ByName());

/*
 * The whole file as the daemon sees it: only regular files are read, never
 * waiting on a FIFO, and only their first bytes.
 */
struct FileCase {
	const char *name;
	std::string text; /* "fifo" and "dir" make those instead */
	int exists;
	pid_t pid;
};

void
PrintTo(const FileCase &c, std::ostream *os)
{
	*os << c.name;
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

	/* A read that blocks fails the test, rather than hang it. */
	struct pidfile_state state;
	alarm(10);
	read_pidfile(path.c_str(), &state);
	alarm(0);
	EXPECT_EQ(state.exists, c.exists);
	EXPECT_EQ(state.pid, c.pid);

	remove(path.c_str());
	rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadPidfile,
    testing::Values(FileCase { "Missing", "", 0, -1 },
	FileCase { "Empty", "", 1, 0 },
	FileCase { "AsWritten", "1234\n", 1, 1234 },
	FileCase { "LongTail", "1234\n" + std::string(200, 'x'), 1, 1234 },
	FileCase { "NumberPastTheBound", std::string(70, ' ') + "1234", 1, -1 },
	FileCase { "NumberUpToTheBound", std::string(60, ' ') + "1234", 1, -1 },
	FileCase { "DigitsPastTheBound", std::string(80, '7'), 1, -1 },
	FileCase { "FIFO", "fifo", 1, -1 },
	FileCase { "Directory", "dir", 1, -1 }),
    ByName());

} // namespace
