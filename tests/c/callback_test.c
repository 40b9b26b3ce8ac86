/* The C policy callback, tested from C against the public header: the event record, the
 * verdicts, the context functions, and callbacks that never return or leave their thread.
 * argv[1] names the case to run (CTest runs each on its own). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "vestrion.h"

/* The record's layout is part of the interface. */
_Static_assert(sizeof(vestrion_event_t) == 64, "event record size");
_Static_assert(offsetof(vestrion_event_t, syscall) == 0, "syscall");
_Static_assert(offsetof(vestrion_event_t, category) == 8, "category");
_Static_assert(offsetof(vestrion_event_t, pid) == 12, "pid");
_Static_assert(offsetof(vestrion_event_t, ppid) == 16, "ppid");
_Static_assert(offsetof(vestrion_event_t, path) == 24, "path");
_Static_assert(offsetof(vestrion_event_t, host) == 32, "host");
_Static_assert(offsetof(vestrion_event_t, port) == 40, "port");
_Static_assert(offsetof(vestrion_event_t, denied) == 42, "denied");
_Static_assert(offsetof(vestrion_event_t, argv) == 48, "argv");
_Static_assert(offsetof(vestrion_event_t, argc) == 56, "argc");

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

/* The callbacks take no argument of the caller's: what they need is here. It is written before
 * each run starts, and read by the callback thread. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static const char* target;   /* the path whose open gets `verdict` */
static int verdict;
static int calls;            /* events the callback was given */

static vestrion_policy_t* policy_with(vestrion_policy_fn_t fn) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_fs_read(vestrion_policy_builder_new(), "/");
    b = vestrion_policy_builder_policy_fn(b, fn);
    vestrion_policy_t* p = vestrion_policy_build(b, NULL);
    CHECK(p != NULL);
    return p;
}

static int count_calls(void) {
    pthread_mutex_lock(&lock);
    int n = calls;
    pthread_mutex_unlock(&lock);
    return n;
}

static char* make_file(char* dir, size_t size, const char* content) {
    CHECK(mkdtemp(dir) != NULL);
    char* path = malloc(size + 8);
    snprintf(path, size + 8, "%s/file", dir);
    FILE* f = fopen(path, "w");
    fputs(content, f);
    fclose(f);
    return path;
}

static void remove_file(char* dir, char* path) {
    unlink(path);
    rmdir(dir);
    free(path);
}

/* ---- Verdicts */

static int decide_target(const vestrion_event_t* event, vestrion_ctx_t* ctx) {
    (void)ctx;
    if (strcmp(event->syscall, "openat") == 0 && event->path && strcmp(event->path, target) == 0)
        return verdict;
    return VESTRION_ALLOW;
}

static void verdicts_decide_held_calls(void) {
    static const struct {
        int value;
        int exit_code;
        const char* stderr_has; /* "" when the file is read */
    } table[] = {
        {5, 1, "Input/output error"},
        {VESTRION_DENY, 1, "Operation not permitted"},
        {VESTRION_DEFER, 0, ""},
        {VESTRION_ALLOW, 0, ""},
        {-100, 0, ""},
        /* No error number is that large: the call is still refused. */
        {5000, 1, "Operation not permitted"},
    };
    char dir[] = "/tmp/vestrion-cb-XXXXXX";
    char* file = make_file(dir, sizeof dir, "content\n");
    target = file;
    vestrion_policy_t* p = policy_with(decide_target);
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        verdict = table[i].value;
        const char* argv[] = {"cat", file};
        vestrion_result_t* r = vestrion_run(p, argv, 2);
        CHECK(r != NULL);
        int code = vestrion_result_exit_code(r);
        char* out = vestrion_result_stdout(r);
        char* err = vestrion_result_stderr(r);
        if (code != table[i].exit_code || !err || !strstr(err, table[i].stderr_has))
            fprintf(stderr, "verdict %d: exit %d, stderr %s\n", table[i].value, code, err ? err : "(null)");
        CHECK(code == table[i].exit_code);
        CHECK(err && strstr(err, table[i].stderr_has));
        if (table[i].exit_code == 0) CHECK(out && strcmp(out, "content\n") == 0);
        vestrion_string_free(out);
        vestrion_string_free(err);
        vestrion_result_free(r);
    }
    vestrion_policy_free(p);
    remove_file(dir, file);
}

/* ---- The event record */

static char exec_path[256], exec_args[256], hosts[512];
static uint32_t exec_argc;
static int ppid_seen;

static int record_events(const vestrion_event_t* event, vestrion_ctx_t* ctx) {
    (void)ctx;
    pthread_mutex_lock(&lock);
    if (strcmp(event->syscall, "execve") == 0 && event->category == VESTRION_CATEGORY_PROCESS) {
        snprintf(exec_path, sizeof exec_path, "%s", event->path ? event->path : "(null)");
        exec_argc = event->argc;
        exec_args[0] = 0;
        for (uint32_t i = 0; i < event->argc; ++i) {
            strncat(exec_args, event->argv[i], sizeof exec_args - strlen(exec_args) - 2);
            strcat(exec_args, "|");
        }
        ppid_seen = event->ppid != 0;
    }
    int answer = VESTRION_ALLOW;
    if (strcmp(event->syscall, "connect") == 0 && event->category == VESTRION_CATEGORY_NETWORK) {
        size_t used = strlen(hosts);
        snprintf(hosts + used, sizeof hosts - used, "%s %u;", event->host ? event->host : "(null)",
                 event->port);
        /* Refused before it is made: nothing leaves the machine. */
        answer = VESTRION_DENY;
    }
    pthread_mutex_unlock(&lock);
    return answer;
}

static void events_carry_path_argv_host_and_port(void) {
    vestrion_policy_t* p = policy_with(record_events);
    const char* argv[] = {"/bin/echo", "one", "two"};
    vestrion_result_t* r = vestrion_run(p, argv, 3);
    CHECK(vestrion_result_success(r));
    vestrion_result_free(r);
    CHECK(strcmp(exec_path, "/bin/echo") == 0);
    CHECK(exec_argc == 3);
    CHECK(strcmp(exec_args, "/bin/echo|one|two|") == 0);
    CHECK(ppid_seen);

    /* Addresses in their standard text form. */
    static const struct {
        const char* address;
        const char* text;
    } table[] = {
        {"127.0.0.1", "127.0.0.1 7;"},
        {"::1", "::1 7;"},
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1 7;"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1 7;"},
        {"2001:DB8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1 7;"},
        {"fe80:0:0:0:0:0:0:0", "fe80:: 7;"},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        hosts[0] = 0;
        const char* connect_argv[] = {VESTRION_NET_HELPER, "connect", table[i].address, "7"};
        r = vestrion_run(p, connect_argv, 4);
        char* out = vestrion_result_stdout(r);
        CHECK(out && strcmp(out, "EPERM\n") == 0);
        if (strcmp(hosts, table[i].text) != 0)
            fprintf(stderr, "%s: event %s\n", table[i].address, hosts);
        CHECK(strcmp(hosts, table[i].text) == 0);
        vestrion_string_free(out);
        vestrion_result_free(r);
    }
    vestrion_policy_free(p);
}

/* ---- Context functions */

static const char* const* restrict_to;
static uint32_t restrict_count;

static int restrict_network_once(const vestrion_event_t* event, vestrion_ctx_t* ctx) {
    (void)event;
    vestrion_ctx_restrict_network(ctx, restrict_to, restrict_count);
    /* A NULL context is ignored. */
    vestrion_ctx_restrict_network(NULL, NULL, 0);
    vestrion_ctx_deny_path(NULL, "/");
    vestrion_ctx_restrict_max_processes(NULL, 0);
    return VESTRION_ALLOW;
}

static int listener(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    CHECK(bind(fd, (struct sockaddr*)&addr, sizeof addr) == 0);
    CHECK(listen(fd, 16) == 0);
    CHECK(getsockname(fd, (struct sockaddr*)&addr, &len) == 0);
    *port = ntohs(addr.sin_port);
    return fd;
}

static void restrict_network_narrows_every_connect(void) {
    static const char* const none[] = {NULL};
    static const char* const loopback_among_bad[] = {"10.0.0.1", "not an address", NULL,
                                                     "\xff\xfe", "[::1]", "127.0.0.1"};
    static const char* const others[] = {"10.0.0.1", "::1"};
    static const struct {
        const char* const* ips;
        uint32_t n;
        const char* outcome;
    } table[] = {
        {none, 0, "ECONNREFUSED\n"},
        {loopback_among_bad, 6, "ok\n"},
        {others, 2, "ECONNREFUSED\n"},
        /* A NULL list with entries to read changes nothing. */
        {NULL, 3, "ok\n"},
    };
    uint16_t port;
    int fd = listener(&port);
    char port_text[8];
    snprintf(port_text, sizeof port_text, "%u", port);
    vestrion_policy_t* p = policy_with(restrict_network_once);
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        restrict_to = table[i].ips;
        restrict_count = table[i].n;
        const char* argv[] = {VESTRION_NET_HELPER, "connect", "127.0.0.1", port_text};
        vestrion_result_t* r = vestrion_run(p, argv, 4);
        char* out = vestrion_result_stdout(r);
        if (!out || strcmp(out, table[i].outcome) != 0)
            fprintf(stderr, "case %zu: %s\n", i, out ? out : "(null)");
        CHECK(out && strcmp(out, table[i].outcome) == 0);
        vestrion_string_free(out);
        vestrion_result_free(r);
    }
    vestrion_policy_free(p);
    close(fd);
}

/* ---- Callbacks that do not come back */

static int exit_thread_at_first_event(const vestrion_event_t* event, vestrion_ctx_t* ctx) {
    (void)event;
    (void)ctx;
    pthread_mutex_lock(&lock);
    ++calls;
    pthread_mutex_unlock(&lock);
    pthread_exit(NULL);
}

static pthread_mutex_t gate_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t gate_open = PTHREAD_COND_INITIALIZER;
static int released;

static int block_until_released(const vestrion_event_t* event, vestrion_ctx_t* ctx) {
    (void)event;
    (void)ctx;
    pthread_mutex_lock(&lock);
    ++calls;
    pthread_mutex_unlock(&lock);
    pthread_mutex_lock(&gate_lock);
    while (!released) pthread_cond_wait(&gate_open, &gate_lock);
    pthread_mutex_unlock(&gate_lock);
    return VESTRION_DENY;
}

/* A command that makes 1,000 held opens; it must end well, and the caller live on. */
static void many_held_opens(vestrion_policy_fn_t fn) {
    enum { OPENS = 1000 };
    char dir[] = "/tmp/vestrion-cb-XXXXXX";
    char* file = make_file(dir, sizeof dir, "x");
    const char* argv[OPENS + 3];
    argv[0] = VESTRION_TEST_HELPER;
    argv[1] = "open-paths";
    argv[2] = "openat";
    for (int i = 0; i < OPENS; ++i) argv[3 + i] = file;
    vestrion_policy_t* p = policy_with(fn);
    vestrion_result_t* r = vestrion_run(p, argv, OPENS + 3);
    CHECK(vestrion_result_success(r));
    char* out = vestrion_result_stdout(r);
    CHECK(out && strncmp(out, "ok ok ok", 8) == 0 && strlen(out) == OPENS * 3);
    vestrion_string_free(out);
    vestrion_result_free(r);
    vestrion_policy_free(p);
    remove_file(dir, file);
}

static void callback_that_exits_its_thread(void) {
    many_held_opens(exit_thread_at_first_event);
    CHECK(count_calls() == 1);
}

static void callback_that_never_returns(void) {
    many_held_opens(block_until_released);
    int before = count_calls();
    CHECK(before >= 1);
    /* Released after the run: it returns, and is called no more. */
    pthread_mutex_lock(&gate_lock);
    released = 1;
    pthread_cond_broadcast(&gate_open);
    pthread_mutex_unlock(&gate_lock);
    struct timespec pause = {0, 200 * 1000 * 1000};
    nanosleep(&pause, NULL);
    CHECK(count_calls() == before);
}

struct test_case {
    const char* name;
    void (*run)(void);
};

static const struct test_case cases[] = {
    {"verdicts_decide_held_calls", verdicts_decide_held_calls},
    {"events_carry_path_argv_host_and_port", events_carry_path_argv_host_and_port},
    {"restrict_network_narrows_every_connect", restrict_network_narrows_every_connect},
    {"callback_that_exits_its_thread", callback_that_exits_its_thread},
    {"callback_that_never_returns", callback_that_never_returns},
};

int main(int argc, char** argv) {
    size_t count = sizeof cases / sizeof cases[0];
    for (size_t i = 0; i < count; ++i) {
        if (argc > 1 && strcmp(argv[1], cases[i].name) != 0) continue;
        if (argc <= 1) printf("%s\n", cases[i].name);
        else cases[i].run();
    }
    return failures == 0 ? 0 : 1;
}
