/*
 * bistack-lease: stand for an interface's IPv4 and IPv6 DHCP clients as
 * its one DHCP client.  The entry checks the command line, forms the run
 * paths and hands over to the supervisor, which starts both clients.
 */

#include <sys/types.h>
#include <sys/socket.h>
#include <net/if.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pidfile.h"
#include "platform.h"
#include "supervisor.h"

static const char usage_line[] =
    "usage: bistack-lease [-bdnqu] [-c file] [-l file] ifname\n";

/*
 * The base client's own options, which rc passes on (background_dhclient
 * adds -b, dhclient_arpwait=NO adds -n, dhclient_flags come as written),
 * less -p, which names the file the daemon reads.  They go to the IPv4
 * client as given.
 */
static const char v4_options[] = "bc:dl:nqu";

static const char own_template[] = "/var/run/dhclient/dhclient.%s.pid";
static const char v4_template[] = "/var/run/dhclient/dhclient.%s.4.pid";
static const char v6_template[] = "/var/run/dhclient/dhclient.%s.6.pid";

static const char v4_client[] = "/sbin/dhclient";
static const char v6_client[] = "/usr/local/sbin/dhclient";

[[noreturn]] static void usage(void);
static int open_standard_descriptors(void);

int
main(int argc, char *argv[])
{
	char *own_pidfile, *v4_pidfile, *v6_pidfile;
	const char **v4_argv;
	char *ifname;
	struct handover h;
	struct client *v4 = &h.clients[0], *v6 = &h.clients[1];
	sigset_t none;
	int given = 1, n = 0, opt;

	/*
	 * Options end at the first operand on every system ("em0 -b" is two
	 * names, as for the base client), and a bad one gets the usage line
	 * alone, not getopt's complaint as well.  given: where the options
	 * end, before a "--" that ends them, which is not passed on.
	 */
	opterr = 0;
	while ((opt = next_option(argc, argv, v4_options)) != -1) {
		if (opt == '?')
			usage();
		given = optind;
	}
	/*
	 * The name is the clients' last argument: one that begins with "-"
	 * would reach them as an option ("-r" releases another interface's
	 * leases).  An empty one, or one too long for the system's interface
	 * names, can name no interface.
	 */
	if (argc - optind != 1 || argv[optind][0] == '-' ||
	    argv[optind][0] == '\0' || strlen(argv[optind]) >= IF_NAMESIZE)
		usage();
	ifname = argv[optind];

	/* glibc leaves the pointer undefined on failure: test the result. */
	if (open_standard_descriptors() == -1 ||
	    asprintf(&own_pidfile, own_template, ifname) < 0 ||
	    asprintf(&v4_pidfile, v4_template, ifname) < 0 ||
	    asprintf(&v6_pidfile, v6_template, ifname) < 0 ||
	    (v4_argv = static_cast<const char **>(
		 calloc((size_t)given + 4, sizeof(*v4_argv)))) == nullptr)
		exit(1);

	v4_argv[n++] = v4_client;
	for (int i = 1; i < given; i++)
		v4_argv[n++] = argv[i];
	v4_argv[n++] = "-p";
	v4_argv[n++] = v4_pidfile;
	v4_argv[n] = ifname;
	const char *v6_argv[] = { v6_client, "-6", "-nw", "-cf", "/dev/null",
		"-pf", v6_pidfile, ifname, nullptr };

	/*
	 * Both clients must end on SIGTERM, whatever their caller blocked or
	 * ignored: they start with no signal blocked and SIGTERM at its
	 * default action.  SIGCHLD is at its default action too: ignored, it
	 * would let the system reap a client the moment it ends, before the
	 * daemon has it watched, and hand its number to another process.
	 */
	sigemptyset(&none);
	if (sigprocmask(SIG_SETMASK, &none, nullptr) == -1 ||
	    signal(SIGTERM, SIG_DFL) == SIG_ERR ||
	    signal(SIGCHLD, SIG_DFL) == SIG_ERR)
		exit(1);

	memset(&h, 0, sizeof(h));
	h.ifname = ifname;
	h.own_fd = h.ready[0] = h.ready[1] = -1;
	if (prepare_client(v4, 0, ifname, v4_pidfile, v4_argv) == -1 ||
	    prepare_client(v6, 1, ifname, v6_pidfile, v6_argv) == -1 ||
	    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, h.ready) == -1)
		exit(1);
	run_supervisor(own_pidfile, &h);
}

static void
usage(void)
{
	fwrite(usage_line, 1, sizeof(usage_line) - 1, stderr);
	exit(1);
}

/*
 * Descriptors 0, 1 and 2 point somewhere (/dev/null where the caller closed
 * them) before anything else is opened, so that no file or socket of ours
 * is taken for standard error, by us or by a client.
 */
static int
open_standard_descriptors(void)
{
	int fd;

	while ((fd = open("/dev/null", O_RDWR)) != -1 && fd <= 2)
		;
	if (fd == -1)
		return -1;
	close(fd);
	return 0;
}
