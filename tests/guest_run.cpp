// The booted guest's case runner: starts programs with exactly the argument
// vector and standard output that a case names, on the router's own kernel,
// and prints what came back. It runs where no Python is: a shell cannot
// give a program an empty vector or a name of its own, and cannot read
// stdout and stderr apart without temporary files.
//
// usage: ip4add_guest_run CASES
// A case is a line: NAME STDOUT PROGRAM ARGC ARG..., arguments in hex ("-"
// for the empty one). STDOUT is "pipe" (captured), "closed", "pty-hangup"
// (a terminal whose master is gone) or a file to write to (/dev/full).
// Each case prints "case NAME STATUS STDOUT STDERR": the status as a shell
// reports it (128 + the signal of a killed program), the outputs in hex.
// The C library alone, as the tool: the router targets have no C++ runtime.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int MAX_ARGS = 64;

struct Buffer {
    char *data = nullptr;
    size_t length = 0;
};

void append(Buffer &buffer, const char *bytes, size_t count) {
    char *grown = static_cast<char *>(realloc(buffer.data, buffer.length + count + 1));
    if (grown == nullptr)
        abort();
    memcpy(grown + buffer.length, bytes, count);
    buffer.data = grown;
    buffer.length += count;
}

// Decodes hex in place ("-": the empty text); false for anything else.
bool from_hex(char *text) {
    if (strcmp(text, "-") == 0) {
        text[0] = 0;
        return true;
    }
    size_t length = strlen(text);
    if (length % 2 != 0)
        return false;
    for (size_t i = 0; i < length; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        text[i / 2] = static_cast<char>(strtoul(pair, &end, 16));
        if (*end != 0 || text[i / 2] == 0)
            return false;
    }
    text[length / 2] = 0;
    return true;
}

void print_hex(const Buffer &buffer) {
    if (buffer.length == 0)
        fputs(" -", stdout);
    else
        fputc(' ', stdout);
    for (size_t i = 0; i < buffer.length; ++i)
        printf("%02x", static_cast<unsigned char>(buffer.data[i]));
}

// Opens a terminal and closes its master: writes on the other end fail
// once the line is flushed, as on a router whose ssh session has gone.
int hung_up_terminal() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    close(master);
    return slave;
}

// Reads both pipes to their end together: a long message on stderr must not
// block the program while stdout is read.
void drain(int out_fd, int err_fd, Buffer &out, Buffer &err) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    Buffer *sinks[2] = {&out, &err};
    int open_count = (out_fd >= 0) + (err_fd >= 0);
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char bytes[4096];
            ssize_t got = read(fds[i].fd, bytes, sizeof bytes);
            if (got > 0) {
                append(*sinks[i], bytes, static_cast<size_t>(got));
                continue;
            }
            close(fds[i].fd);
            fds[i].fd = -1;
            --open_count;
        }
    }
}

int run_case(const char *name, const char *mode, const char *program, char **argv) {
    int out_pipe[2] = {-1, -1}, err_pipe[2];
    if (pipe(err_pipe) != 0)
        return 1;
    int stdout_fd = -1; // what the child gets as fd 1 (-1: closed)
    if (strcmp(mode, "pipe") == 0) {
        if (pipe(out_pipe) != 0)
            return 1;
        stdout_fd = out_pipe[1];
    } else if (strcmp(mode, "pty-hangup") == 0) {
        stdout_fd = hung_up_terminal();
    } else if (strcmp(mode, "closed") != 0) {
        stdout_fd = open(mode, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (strcmp(mode, "closed") != 0 && stdout_fd < 0) {
        printf("error %s: cannot set up stdout %s: %s\n", name, mode, strerror(errno));
        return 1;
    }
    char path[] = "PATH=/bin", locale[] = "LC_ALL=C";
    char *envp[] = {path, locale, nullptr};

    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(err_pipe[1], 2);
        if (stdout_fd >= 0)
            dup2(stdout_fd, 1);
        else
            close(1);
        for (int fd = 3; fd < 64; ++fd)
            close(fd);
        execve(program, argv, envp);
        _exit(127);
    }
    if (stdout_fd >= 0)
        close(stdout_fd);
    close(err_pipe[1]);
    Buffer out, err;
    drain(out_pipe[0], err_pipe[0], out, err);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int shell_status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    printf("case %s %d", name, shell_status);
    print_hex(out);
    print_hex(err);
    fputc('\n', stdout);
    free(out.data);
    free(err.data);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    FILE *cases = argc == 2 ? fopen(argv[1], "r") : nullptr;
    if (cases == nullptr) {
        fputs("usage: ip4add_guest_run CASES\n", stderr);
        return 2;
    }
    int failures = 0;
    char *line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, cases) > 0) {
        char *words[MAX_ARGS + 4];
        int count = 0;
        for (char *word = strtok(line, " \n"); word && count < MAX_ARGS + 4;
             word = strtok(nullptr, " \n"))
            words[count++] = word;
        if (count == 0)
            continue;
        bool good = count >= 4 && count == 4 + atoi(words[3]);
        for (int i = 4; good && i < count; ++i)
            good = from_hex(words[i]);
        if (!good) {
            printf("error malformed case %s\n", words[0]);
            ++failures;
            continue;
        }
        char *case_argv[MAX_ARGS + 1];
        for (int i = 4; i < count; ++i)
            case_argv[i - 4] = words[i];
        case_argv[count - 4] = nullptr;
        failures += run_case(words[0], words[1], words[2], case_argv);
    }
    free(line);
    fclose(cases);
    return failures == 0 ? 0 : 1;
}
