/*
 * A client's life as its machine has it, told news and a clock by hand:
 * no process, no file, no namespace.  Every state, everything that may
 * reach it, where it goes and the deadline it then has.
 */

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "named.h"

namespace {

/* What the client knows besides its state, before the news. */
struct Facts {
	bool record_stopped, locks, wrote, file_there;
};

struct Move {
	const char *name;
	client_state from;
	Facts facts;
	client_news news;
	bool locked, partner_running;
	long at_ms; /* after it entered its state */
	client_state to;
	long deadline_in_ms; /* from the news; -1: none */
};

void
PrintTo(const Move &m, std::ostream *os)
{
	*os << m.name;
}

const Facts none = { false, false, false, false };
const Facts wrote_it = { false, false, true, true };
const Facts wrote_and_removed = { false, false, true, false };
const Facts record_stopped = { true, false, true, true };
const Facts known_to_lock = { false, true, true, true };

/* A client entered into state at time 0, as the daemon leaves it. */
struct client
client_in(client_state state, const Facts &f)
{
	struct client c = {};
	enter(&c, state, 0);
	c.record_stopped = f.record_stopped;
	c.locks = f.locks;
	c.wrote = f.wrote;
	c.seen.exists = f.file_there;
	return c;
}

class Transition : public testing::TestWithParam<Move> { };

TEST_P(Transition, GoesWhereItsStateSays)
{
	const Move m = GetParam();
	struct client c = client_in(m.from, m.facts);
	struct client_event e = { m.news, m.locked, m.partner_running };

	client_step(&c, &e, m.at_ms);
	EXPECT_EQ(c.state, m.to);
	EXPECT_EQ(c.deadline_ms,
	    m.deadline_in_ms < 0 ? -1 : m.at_ms + m.deadline_in_ms);
	if (m.to != m.from) {
		EXPECT_EQ(c.since_ms, m.at_ms);
	}
}

INSTANTIATE_TEST_SUITE_P(Client, Transition,
    testing::Values(
	/* Before a start, and after an end that nothing follows. */
	Move { "EndedIsStarted", ended, none, started, false, false, 0,
	    launching, -1 },
	Move { "EndedTakesALaterRecord", ended, wrote_it, record_taken, false,
	    false, 10, running, -1 },
	Move { "EndedIPv6PausesWhileIPv4Runs", ended, wrote_it, partner_runs,
	    false, true, 10, paused, first_pause_ms },
	Move { "EndedNotPausedOnceTheDaemonStops", ended, wrote_it,
	    partner_runs, false, false, 10, ended, -1 },
	Move { "EndedStaysAtTheStop", ended, wrote_it, stop_begins, false,
	    false, 10, ended, -1 },
	Move { "EndedStaysAtAnEnd", ended, wrote_it, last_gone, true, false, 10,
	    ended, -1 },
	/* Started, not yet the client. */
	Move { "LaunchingRunsAtItsExec", launching, none, exec_seen, false,
	    false, 5, running, -1 },
	Move { "LaunchingNeverExecs", launching, none, never_execs, false,
	    false, 5, ended, -1 },
	Move { "LaunchingWaitsOutTheStop", launching, none, stop_begins, false,
	    false, 5, launching, -1 },
	Move { "LaunchingHearsOfItsEndFromItsChannel", launching, none,
	    last_gone, false, false, 5, launching, -1 },
	/* Running, and its last process gone. */
	Move { "RunningRecordEndedByTheStop", running, record_stopped,
	    last_gone, true, false, 9, ended, -1 },
	Move { "RunningWithItsFileLocked", running, wrote_it, last_gone, true,
	    false, 9, locked, lock_look_ms },
	Move { "RunningKnownToLockLockGone", running, known_to_lock, last_gone,
	    false, false, 9, ended, -1 },
	Move { "RunningItsWrittenFileGone", running, wrote_and_removed,
	    last_gone, false, false, 9, ended, -1 },
	Move { "RunningMayRecordAgain", running, wrote_it, last_gone, false,
	    false, 9, settling, record_wait_ms },
	Move { "RunningNothingWrittenMayRecord", running, none, last_gone,
	    false, false, 9, settling, record_wait_ms },
	Move { "RunningTakesANewRecord", running, wrote_it, record_taken, false,
	    false, 9, running, -1 },
	Move { "RunningIsSignalledNotMoved", running, wrote_it, stop_begins,
	    false, false, 9, running, -1 },
	Move { "RunningOutlivesItsRemovedFile", running, wrote_it, file_gone,
	    false, false, 9, running, -1 },
	/* Settling: a record's window. */
	Move { "SettlingRecords", settling, wrote_it, record_taken, false,
	    false, 100, running, -1 },
	Move { "SettlingFileRemoved", settling, wrote_it, file_gone, false,
	    false, 100, ended, -1 },
	Move { "SettlingWindowPassed", settling, wrote_it, deadline, false,
	    false, record_wait_ms, ended, -1 },
	Move { "SettlingWindowPassedLockTaken", settling, wrote_it, deadline,
	    true, false, record_wait_ms, locked, lock_look_ms },
	Move { "SettlingThroughTheStop", settling, wrote_it, stop_begins, false,
	    false, 100, settling, record_wait_ms - 100 },
	/* Locked: waiting for the lock, stop_wait_ms at the most. */
	Move { "LockedLetGo", locked, known_to_lock, deadline, false, false,
	    lock_look_ms, ended, -1 },
	Move { "LockedHeldLooksAgain", locked, known_to_lock, deadline, true,
	    false, lock_look_ms, locked, lock_look_ms },
	Move { "LockedHeldLastLookAtItsBound", locked, known_to_lock, deadline,
	    true, false, stop_wait_ms - 4, locked, 4 },
	Move { "LockedHeldPastItsBound", locked, known_to_lock, deadline, true,
	    false, stop_wait_ms, ended, -1 },
	Move { "LockedFileRemoved", locked, known_to_lock, file_gone, true,
	    false, 30, ended, -1 },
	Move { "LockedRecords", locked, known_to_lock, record_taken, true,
	    false, 30, running, -1 },
	Move { "LockedThroughTheStop", locked, known_to_lock, stop_begins, true,
	    false, 3, locked, lock_look_ms - 3 },
	/* Paused, and deferred: when the IPv6 client starts again. */
	Move { "PausedOverWhileIPv4Runs", paused, wrote_it, deadline, false,
	    true, first_pause_ms, launching, -1 },
	Move { "PausedOverWhileIPv4Settles", paused, wrote_it, deadline, false,
	    false, first_pause_ms, deferred, -1 },
	Move { "PausedStopped", paused, wrote_it, stop_begins, false, false,
	    500, ended, -1 },
	Move { "PausedTakesALateRecord", paused, wrote_it, record_taken, false,
	    true, 500, running, -1 },
	Move { "PausedUntilItsTime", paused, wrote_it, partner_runs, false,
	    true, 500, paused, first_pause_ms - 500 },
	Move { "DeferredIPv4RunsAgain", deferred, wrote_it, partner_runs, false,
	    true, 2000, launching, -1 },
	Move { "DeferredWhileTheDaemonStops", deferred, wrote_it, partner_runs,
	    false, false, 2000, deferred, -1 },
	Move { "DeferredStopped", deferred, wrote_it, stop_begins, false, false,
	    2000, ended, -1 },
	Move { "DeferredTakesALateRecord", deferred, wrote_it, record_taken,
	    false, false, 2000, running, -1 },
	Move { "DeferredNotByItsOwnClock", deferred, wrote_it, deadline, false,
	    true, 2000, deferred, -1 }),
    ByName());

/*
 * A stop signal that comes as the pause ends is told first: the client is
 * not started again, nor paused again by the news the stopping daemon
 * still sends.
 */
TEST(Client, AStopBeforeTheDuePauseEndsItForGood)
{
	struct client c = client_in(paused, wrote_it);
	struct client_event stop = { stop_begins, false, false };
	struct client_event due = { deadline, false, true };
	struct client_event runs = { partner_runs, false, false };

	client_step(&c, &stop, first_pause_ms);
	client_step(&c, &due, first_pause_ms);
	client_step(&c, &runs, first_pause_ms);
	EXPECT_EQ(c.state, ended);
	EXPECT_EQ(c.deadline_ms, -1);
}

/*
 * The IPv6 client's run, ended and started again over and over: run is how
 * long each ran from its exec, launch how long it waited for its address
 * first.  The pause doubles up to its cap while runs are short, and is the
 * first again after a run of a minute, counted from the exec.
 */
struct Life {
	long launch_ms, run_ms, pause_ms;
};

TEST(Client, ThePauseScheduleOverAWholeLife)
{
	const std::vector<Life> runs = {
		{ 0, 10, 1000 },
		{ 0, 10, 2000 },
		{ 0, 10, 4000 },
		{ 0, 10, 8000 },
		{ 0, 10, 16000 },
		{ 0, 10, 32000 },
		{ 0, 10, most_pause_ms },
		{ 0, 10, most_pause_ms },
		/* A minute in all: its settling after its end counts too. */
		{ 0, ran_long_ms - record_wait_ms, first_pause_ms },
		{ 0, 10, 2000 },
		/* A long wait for its address is not a run. */
		{ ran_long_ms + 1000, 10, 4000 },
		{ 0, ran_long_ms, first_pause_ms },
	};
	struct client c = client_in(ended, none);
	long now = 0;
	auto tell = [&](client_news news, bool locked = false) {
		struct client_event e = { news, locked, true };
		client_step(&c, &e, now);
	};

	for (size_t i = 0; i < runs.size(); i++) {
		SCOPED_TRACE("run " + std::to_string(i));
		tell(started);
		now += runs[i].launch_ms;
		tell(exec_seen);
		ASSERT_EQ(c.state, running);
		now += runs[i].run_ms;
		tell(last_gone);
		ASSERT_EQ(c.state, settling);
		now = c.deadline_ms;
		tell(deadline);
		ASSERT_EQ(c.state, ended);
		tell(partner_runs);
		ASSERT_EQ(c.state, paused);
		EXPECT_EQ(c.pause_ms, runs[i].pause_ms);
		EXPECT_EQ(c.deadline_ms, now + runs[i].pause_ms);
		now = c.deadline_ms;
		tell(deadline);
		ASSERT_EQ(c.state, launching);
	}
}

/*
 * A client once seen holding its file locked is known to lock it: when its
 * next process ends and the lock is gone, it has ended (its helper is
 * done), without a record's window.
 */
TEST(Client, ALockOnceSeenMakesItsNextEndFinal)
{
	struct client c = client_in(running, wrote_it);
	struct client_event locked_end = { last_gone, true, false };
	struct client_event record = { record_taken, false, false };
	struct client_event unlocked_end = { last_gone, false, false };

	client_step(&c, &locked_end, 10);
	ASSERT_EQ(c.state, locked);
	client_step(&c, &record, 20);
	ASSERT_EQ(c.state, running);
	client_step(&c, &unlocked_end, 30);
	EXPECT_EQ(c.state, ended);
}

/* A held lock is looked at every lock_look_ms, and its wait is the first's. */
TEST(Client, ALockIsWaitedForFromTheFirstLookNotTheLast)
{
	struct client c = client_in(running, wrote_it);
	struct client_event gone = { last_gone, true, false };
	struct client_event held = { deadline, true, false };
	int looks = 0;

	client_step(&c, &gone, 100);
	ASSERT_EQ(c.state, locked);
	while (c.state == locked && looks < 1000) {
		long now = c.deadline_ms;
		client_step(&c, &held, now);
		looks++;
	}
	EXPECT_EQ(c.state, ended);
	EXPECT_EQ(c.since_ms, 100 + stop_wait_ms);
	EXPECT_EQ(looks, stop_wait_ms / lock_look_ms);
}

} // namespace
