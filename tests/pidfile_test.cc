/* Reading a client's PID file: "%d" as scanf reads it, but only usable PIDs. */

#include <limits.h>
#include <stdio.h>

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
	FILE *fp =
	    fmemopen(const_cast<char *>(c.text.data()), c.text.size(), "r");
	ASSERT_NE(fp, nullptr);
	EXPECT_EQ(read_pid(fp), c.pid) << "reading \"" << c.text << "\"";
	fclose(fp);
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

} // namespace
