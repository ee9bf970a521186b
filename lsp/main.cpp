// tabula-lsp: the language server of tabula's definition files, speaking the
// Language Server Protocol over standard input and output.
//
// The loop reads whatever input is waiting before it compiles, so that a
// burst of edits costs one compilation of the latest text.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "exception.hpp"
#include "lsp_protocol.hpp"

namespace {

// Responses past this size leave their memory to the system once written.
constexpr size_t LARGE_OUTPUT = 1 << 20;

bool write_all(std::string* output) {
    size_t done = 0;
    while (done < output->size()) {
        const ssize_t wrote = write(STDOUT_FILENO, output->data() + done, output->size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    if (output->capacity() > LARGE_OUTPUT) {
        std::string().swap(*output);
        malloc_trim(0);
    }
    output->clear();
    return true;
}

// The output, and the pieces of a large response one after the other, which
// leaves the memory they held once the last is written.
bool write_output(lsp_server_t* server) {
    if (!write_all(&server->output)) return false;
    if (!server->pending) return true;
    while (lsp_server_continue(server)) {
        if (!write_all(&server->output)) return false;
    }
    malloc_trim(0);
    return true;
}

int fail(const char* reason) {
    std::fprintf(stderr, "tabula-lsp: %s\n", reason);
    return 1;
}

bool input_waiting(int timeout) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = 0;
    do ready = poll(&input, 1, timeout);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void print_usage() {
    std::puts(
        "Usage: tabula-lsp\n"
        "\n"
        "Language server for tabula definition files: speaks the Language Server\n"
        "Protocol on standard input and output. Started by an editor.\n"
        "\n"
        "--help                 display this help and exit");
}

}  // namespace

int main(int argc, char** argv) try {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--stdio") == 0) continue;  // what some clients pass
        print_usage();
        return std::strcmp(argv[i], "--help") == 0 ? 0 : 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A larger pipe takes a large response in fewer writes; refused where
    // the output is no pipe, which changes nothing.
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    lsp_server_t server;
    char buffer[65536];
    while (!server.exited) {
        if (lsp_server_busy(server) && !input_waiting(0)) {
            lsp_server_idle(&server, [] { return input_waiting(0); });
            if (!write_all(&server.output)) return fail("the client no longer reads the output");
            malloc_trim(0);  // what the run allocated outside its pool
            continue;
        }
        ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fail(std::strerror(errno));
        if (got == 0) return fail("the input ended without \"exit\"");
        lsp_server_feed(&server, std::string_view(buffer, static_cast<size_t>(got)));
        if (!write_output(&server)) return fail("the client no longer reads the output");
        if (!server.failure.empty()) return fail(("the input cannot be read as messages: " + server.failure).c_str());
    }
    return lsp_server_exit_status(server);
} catch (const bailout_exception&) {
    return 1;  // a fatal error outside a compilation, its message printed
}
