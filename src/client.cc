/*
 * A client's life: one function per state, which takes what the state may
 * be told and says where the client goes.  Whatever else it is told, it
 * stays.
 */

#include "client.h"

typedef enum client_state state_fn(
    const struct client *c, const struct client_event *e, long now);

/*
 * Started: the process becomes the client at its exec (or its end, which
 * ends the channel too, and is told next), or never does.
 */
static enum client_state
from_launching(const struct client *, const struct client_event *e, long)
{
	switch (e->news) {
	case exec_seen:
		return running;
	case never_execs:
		return ended;
	default:
		return launching;
	}
}

/*
 * With its last process gone, a client whose record the stop ended has
 * ended for good.  One that holds its file locked waits for the lock; one
 * known to lock it and no longer holding it, or whose written file is
 * gone, has ended (its helper is done); any other may record a new
 * process.  (A process it never recorded may have forked after the stop
 * looked for its children, before the SIGTERM came.)
 */
static enum client_state
from_running(const struct client *c, const struct client_event *e, long)
{
	if (e->news != last_gone)
		return running;
	if (c->record_stopped)
		return ended;
	if (e->locked)
		return locked;
	if (c->locks || (c->wrote && !c->seen.exists))
		return ended;
	return settling;
}

/* Given its window to record; a lock taken meanwhile is waited for. */
static enum client_state
from_settling(const struct client *, const struct client_event *e, long)
{
	switch (e->news) {
	case record_taken:
		return running;
	case file_gone:
		return ended;
	case deadline:
		return e->locked ? locked : ended;
	default:
		return settling;
	}
}

/* Waiting for the lock to go, stop_wait_ms at the most. */
static enum client_state
from_locked(const struct client *c, const struct client_event *e, long now)
{
	switch (e->news) {
	case record_taken:
		return running;
	case file_gone:
		return ended;
	case deadline:
		return !e->locked || now - c->since_ms >= stop_wait_ms ? ended
								       : locked;
	default:
		return locked;
	}
}

/*
 * A record made after its end is its own still.  The IPv6 client pauses
 * while the daemon serves and the IPv4 client runs (the daemon says so
 * with the news, as it does each time it is told anything).
 */
static enum client_state
from_ended(const struct client *, const struct client_event *e, long)
{
	switch (e->news) {
	case started:
		return launching;
	case record_taken:
		return running;
	case partner_runs:
		return e->partner_running ? paused : ended;
	default:
		return ended;
	}
}

/*
 * The pause passed: started again only while the IPv4 client runs.  A
 * record made meanwhile is its own still (a process it forked was slow to
 * make it): it runs, and nothing is started beside it.
 */
static enum client_state
from_paused(const struct client *, const struct client_event *e, long)
{
	switch (e->news) {
	case record_taken:
		return running;
	case deadline:
		return e->partner_running ? launching : deferred;
	case stop_begins:
		return ended;
	default:
		return paused;
	}
}

static enum client_state
from_deferred(const struct client *, const struct client_event *e, long)
{
	switch (e->news) {
	case record_taken:
		return running;
	case partner_runs:
		return e->partner_running ? launching : deferred;
	case stop_begins:
		return ended;
	default:
		return deferred;
	}
}

static state_fn *const states[] = {
	/* [ended] = */ from_ended,
	/* [launching] = */ from_launching,
	/* [running] = */ from_running,
	/* [settling] = */ from_settling,
	/* [locked] = */ from_locked,
	/* [paused] = */ from_paused,
	/* [deferred] = */ from_deferred,
};

void
client_step(struct client *c, const struct client_event *e, long now)
{
	enum client_state to = states[c->state](c, e, now);

	if (to != c->state || (to == locked && e->news == deadline))
		enter(c, to, now);
}

/*
 * Each state's deadline: a record's window while settling; while locked,
 * the next look at the lock, or the end of its wait; the end of a pause.
 * A pause is first_pause_ms after a client that ran ran_long_ms (or the
 * first time), or else twice the last one.  A client's run is counted
 * from its launch, and from its exec once it runs.  Entering locked again
 * is a look: its wait is still counted from the first.
 */
void
enter(struct client *c, enum client_state state, long now)
{
	long wait_ends;

	switch (state) {
	case launching:
		c->started_ms = now;
		break;
	case running:
		if (c->state == launching)
			c->started_ms = now;
		break;
	case locked:
		c->locks = true;
		break;
	case paused:
		c->pause_ms =
		    c->pause_ms == 0 || now - c->started_ms >= ran_long_ms
		    ? first_pause_ms
		    : (c->pause_ms * 2 < most_pause_ms ? c->pause_ms * 2
						       : most_pause_ms);
		break;
	default:
		break;
	}
	if (state != c->state || state != locked)
		c->since_ms = now;
	c->state = state;

	switch (state) {
	case settling:
		c->deadline_ms = now + record_wait_ms;
		break;
	case locked:
		wait_ends = c->since_ms + stop_wait_ms;
		c->deadline_ms = now + lock_look_ms < wait_ends
		    ? now + lock_look_ms
		    : wait_ends;
		break;
	case paused:
		c->deadline_ms = now + c->pause_ms;
		break;
	default:
		c->deadline_ms = -1;
		break;
	}
}
