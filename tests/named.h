#ifndef BISTACK_TESTS_NAMED_H
#define BISTACK_TESTS_NAMED_H

#include <string>

#include <gtest/gtest.h>

/*
 * Names a table's rows: by their name, or a row that is a string by
 * itself.  The names end the tests' names.
 */
struct ByName {
	std::string operator()(
	    const testing::TestParamInfo<std::string> &info) const
	{
		return info.param;
	}
	template <class Row>
	std::string operator()(const testing::TestParamInfo<Row> &info) const
	{
		return info.param.name;
	}
};

#endif
