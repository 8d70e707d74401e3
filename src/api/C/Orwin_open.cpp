// SPDX-License-Identifier: MIT
// Opening a link: connecting to a unit, wrapping a socket or a recording,
// initialising the link record and negotiating the unit's capabilities.
#include "OrwinInternal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *default_service = "4949";
constexpr int connect_wait_ms = 60000;
#ifdef ORWIN_EARLIER_BUILD
// The earlier builds wait for the capability reply for as long as it takes.
constexpr int open_negotiation_timeout_ms = 0;
#else
constexpr int open_negotiation_timeout_ms = 5000;
#endif

void once_per_process()
{
    static std::once_flag flag;
    std::call_once(flag, [] {
        signal(SIGPIPE, SIG_IGN);
        // A write past the file-size limit then fails with EFBIG and is
        // reported like a full disk instead of ending the process.
        signal(SIGXFSZ, SIG_IGN);
    });
}

struct local_binding {
    bool wanted = false;
    bool by_address = false;
    struct sockaddr_in address = {};
    std::string device;
};

// Splits "host[:port][@bind]"; returns false (error recorded) when the
// binding names an IPv4 address that does not resolve.
bool parse_address(const char *text, std::string &host, std::string &service, local_binding &bind)
{
    std::string rest = text;
#ifdef ORWIN_EARLIER_BUILD
    // No local binding here: an at sign is part of the host name.
    (void)bind;
#else
    size_t at = rest.find('@');
    if (at != std::string::npos && getenv("ORW_ALLOW_AT") == nullptr) {
        std::string binding = rest.substr(at + 1);
        rest.resize(at);
        bind.wanted = true;
        if (!binding.empty() && binding[0] >= '0' && binding[0] <= '9') {
            struct addrinfo hints = {};
            hints.ai_family = AF_INET;
            struct addrinfo *result = nullptr;
            if (getaddrinfo(binding.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
                orw_set_error(Error_Host_Unresolvable, "Unable to parse bind address");
                return false;
            }
            memcpy(&bind.address, result->ai_addr, sizeof bind.address);
            freeaddrinfo(result);
            bind.by_address = true;
        } else {
            bind.device = binding.substr(0, IFNAMSIZ - 1);
        }
    }
#endif
    size_t colon = rest.find(':');
    if (colon == std::string::npos) {
        host = rest;
        service = default_service;
    } else {
        host = rest.substr(0, colon);
        service = rest.substr(colon + 1);
    }
    return true;
}

// Steps that give up on every address when they fail.
bool prepare_socket(int sock, const local_binding &bind)
{
    struct linger lg = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
#ifdef ORWIN_EARLIER_BUILD
    (void)bind;
#else
    if (const char *busy = getenv("ORW_BUSY_POLL")) {
        int value = atoi(busy);
        if (setsockopt(sock, SOL_SOCKET, SO_BUSY_POLL, &value, sizeof value) < 0) {
            orw_set_error(Error_Network, "Unable to set busy flag");
            return false;
        }
    }
    if (bind.wanted && bind.by_address) {
        if (::bind(sock, reinterpret_cast<const struct sockaddr *>(&bind.address), sizeof bind.address) < 0) {
            orw_set_error(Error_Network, "unable to bind to IP");
            return false;
        }
    } else if (bind.wanted) {
        if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, bind.device.c_str(),
                       static_cast<socklen_t>(bind.device.size() + 1)) < 0) {
            orw_set_error(Error_Network, "unable to bind to device");
            return false;
        }
    }
#endif
    return true;
}

// Waits for a connection in progress; errno tells why it failed.
bool wait_connected(int sock, int wait_ms)
{
    bool failed = false;
    int n;
    do {
        n = orw_wait_connected(sock, wait_ms, &failed);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        errno = ETIMEDOUT;
        return false;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &so_error, &len) < 0)
        return false;
    errno = so_error != 0 ? so_error : failed ? EHOSTUNREACH : 0;
    return errno == 0;
}

// Non-blocking connect bounded by the connection wait; false moves on to
// the next address.
bool connect_in_time(int sock, const struct addrinfo *ai, int wait_ms)
{
    if (orw_set_blocking(sock, false) < 0) {
        orw_set_error(Error_Network, "Unable to set socket non blocking");
        return false;
    }
    if (connect(sock, ai->ai_addr, ai->ai_addrlen) < 0) {
        if (errno != EINPROGRESS) {
            orw_set_system_error(Error_Network, "Unable to connect");
            return false;
        }
        if (!wait_connected(sock, wait_ms)) {
            orw_set_system_error(Error_Host_Unresponsive, "Connection not made");
            return false;
        }
    }
    if (orw_set_blocking(sock, true) < 0) {
        orw_set_error(Error_Network, "Unable to go blocking");
        return false;
    }
    int one = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) {
        orw_set_error(Error_Network, "Unable to set no delay");
        return false;
    }
    return true;
}

ORW *new_record(int sock)
{
    ORW *link = static_cast<ORW *>(calloc(1, sizeof(ORW)));
    if (link == nullptr) {
        orw_set_error(Error_Memory, "Unable to allocate memory");
        return nullptr;
    }
    link->file = -1;
    link->epollfd = -1;
    link->sock = sock;
    return link;
}

// A new, initialised record around a descriptor; the descriptor is closed
// when that fails.
ORW *wrap_descriptor(int fd)
{
    ORW *link = new_record(fd);
    if (link == nullptr) {
        close(fd);
        return nullptr;
    }
    return orw_initialise_link(link) ? link : nullptr;
}

// The slot-setting rule: the table grows to cover the index, and a RAM-I/O
// module makes the unit Vex-family.
void set_slot(ORW *link, int index, int type)
{
    if (index < 0 || index >= ORW_SLOT_TABLE_ENTRIES)
        return;
    link->slot_content[index] = type;
    if (index >= link->number_of_slots)
        link->number_of_slots = index + 1;
    if (type == Orwin_MODULE_ram_rw) {
        link->ram_io = index;
        link->system_type = SYSTEM_TYPE_Vex;
    }
}

int negotiate(ORW *link)
{
    unsigned char request = 0x00;
    int rc = orw_send_command(link, &request, 1, true);
    if (rc < 0)
        return rc;
    ssize_t reply_length = 0;
    for (;;) {
        uint32_t type = 0;
        reply_length = orw_read_reply(link, ORW_CMD_BUFFER_SIZE, &type);
        if (reply_length < 0)
            return static_cast<int>(reply_length);
        if (type == Orwin_SPECIAL && reply_length >= 2 && link->cmd_buffer[0] == 0x00)
            break;
        if (link->rx_deadline_ms > 0 && orw_monotonic_ms() >= link->rx_deadline_ms)
            return orw_set_error(Error_Receiver_Timeout, "timeout");
    }
    // The reply lists module types from the highest slot down; a reply
    // shorter than its count announces only the slots it carries.
    int slots = link->cmd_buffer[1];
    if (slots > reply_length - 2)
        slots = static_cast<int>(reply_length - 2);
    link->system_type = SYSTEM_TYPE_Tor;
    link->number_of_slots = slots;
    for (int i = 0; i < slots; ++i)
        set_slot(link, slots - 1 - i, link->cmd_buffer[2 + i]);

    int links = Orwin_get_number_of_links(link);
    if (links < 0)
        return links;
    if (link->system_type == SYSTEM_TYPE_Vex) {
        free(link->options);
        link->options = Orwin_get_options_string(link);
        link->option = (link->options && strstr(link->options, "SO")) ? Option_SO : 0;
    }
    if (getenv("ORW_FAST_CLOSE"))
        Orwin_fastclose(link);
    return 0;
}

Orwin open_negotiated(const char *address, int timeout_ms, int connect_wait = connect_wait_ms)
{
    ORW *link = orw_connect(address, connect_wait);
    if (link == nullptr || !orw_initialise_link(link))
        return nullptr;
    if (timeout_ms != 0) {
        Orwin_set_rx_timeout(link, timeout_ms);
        Orwin_set_rx_timeout_action(link, Receiver_Timeout_Returns_Error);
    }
    if (Orwin_negotiate(link) < 0) {
        // A unit that failed negotiation gets no link commands at close.
        link->live = 0;
        int code = Orwin_get_error();
        const char *text = Orwin_get_error_text();
        Orwin_shutdown(link);
        orw_set_error(code, text);
        return nullptr;
    }
    Orwin_set_rx_timeout(link, 0);
    Orwin_set_rx_timeout_action(link, Receiver_Timeout_Returns_Zero_Part_Pkt);
    link->live = 1;
    return link;
}

} // namespace

ORW *orw_connect(const char *address)
{
    return orw_connect(address, connect_wait_ms);
}

ORW *orw_connect(const char *address, int wait_ms)
{
    once_per_process();
    if (address == nullptr) {
        orw_set_error(Error_Host_Unresolvable, "Unable to resolve host");
        return nullptr;
    }
    std::string host, service;
    local_binding bind;
    if (!parse_address(address, host, service, bind))
        return nullptr;

    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *results = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &results) != 0 || results == nullptr) {
        orw_set_error(Error_Host_Unresolvable, "Unable to resolve host");
        return nullptr;
    }
    int sock = -1;
    for (struct addrinfo *ai = results; ai != nullptr; ai = ai->ai_next) {
        sock = orw_socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (sock < 0) {
            orw_set_error(Error_Network, "Unable to obtain a network socket");
            break;
        }
        if (!prepare_socket(sock, bind)) {
            close(sock);
            sock = -1;
            break;
        }
        if (connect_in_time(sock, ai, wait_ms))
            break;
        close(sock);
        sock = -1;
    }
    freeaddrinfo(results);
    if (sock < 0)
        return nullptr;
    ORW *link = new_record(sock);
    if (link == nullptr) {
        close(sock);
        orw_set_error(Error_Network, "Unable to allocate a connection");
    }
    return link;
}

bool orw_initialise_link(ORW *link)
{
    link->tx_buffer = static_cast<unsigned char *>(malloc(ORW_TX_BUFFER_SIZE));
    link->rx_buffer = static_cast<unsigned char *>(malloc(ORW_RX_BUFFER_SIZE));
    link->cmd_buffer = static_cast<unsigned char *>(malloc(ORW_CMD_BUFFER_SIZE));
    link->time_buffer = static_cast<unsigned char *>(malloc(ORW_TIME_IMAGE_SIZE));
    link->slot_content = static_cast<int *>(calloc(ORW_SLOT_TABLE_ENTRIES, sizeof(int)));
    if (!link->tx_buffer || !link->rx_buffer || !link->cmd_buffer || !link->time_buffer ||
        !link->slot_content) {
        if (link->sock >= 0)
            close(link->sock);
        link->sock = -1;
        link->file = -1;
        orw_release_link(link);
        orw_set_error(Error_Memory, "Unable to allocate memory");
        return false;
    }
    link->timezero = 0;
    link->timedata = 0;
    link->extn_link = 1;
    link->tx_buffer_length = ORW_TX_BUFFER_SIZE;
    link->tx_buffer_content = 0;
    link->rx_buffer_length = ORW_RX_BUFFER_SIZE;
    orw_reset_receive(link);
    link->rx_timeout = 0;
    link->log_file = nullptr;
    link->log_rx_port = 1;
    link->log_tx_port = 1;
    link->max_length = 16;
    link->ram_io = 0;
    link->current_port = 1;
    link->record_file = nullptr;
    link->check_record_writes = 0;
    link->record_lost = 0;
    link->tx_record_lost = 0;
    link->log_lost = 0;
    link->total_raw_bytes_received = ~static_cast<uint64_t>(0);
    link->rx_timeout_returns_error = 0;
    link->max_dumps = 6;
    orw_time_image_init(link);
    link->partialframesz = 0;
    link->system_type = SYSTEM_TYPE_INVALID;
    link->number_of_slots = 0;
    link->auto_flush = 1;
    link->number_of_links = 0;
    return true;
}

void orw_release_link(ORW *link)
{
    if (link == nullptr)
        return;
    orw_drop_input_waiter(link);
    orw_close_stream(link->record_file);
    orw_close_stream(link->tx_record_file);
    orw_close_stream(link->log_file);
    if (link->special_cb)
        free(link->special_cb);
    if (link->extension_cb)
        free(link->extension_cb);
    free(link->options);
    free(link->tx_buffer);
    free(link->rx_buffer);
    free(link->cmd_buffer);
    free(link->time_buffer);
    free(link->slot_content);
    free(link);
}

void orw_close_stream(FILE *file)
{
    if (file == nullptr)
        return;
    // The standard streams stay open for the rest of the process.
    if (file == stdout || file == stderr)
        fflush(file);
    else
        fclose(file);
}

bool orw_finish_stream(FILE *file, int lost)
{
    if (file == nullptr)
        return lost == 0;
    bool whole = fflush(file) == 0 && !ferror(file) && lost == 0;
    if (file == stdout || file == stderr)
        return whole;
    return fclose(file) == 0 && whole;
}

Orwin orw_open_within(const char *address, int timeout_ms)
{
    if (timeout_ms <= 0)
        return open_negotiated(address, 0);
    return open_negotiated(address, timeout_ms, timeout_ms < connect_wait_ms ? timeout_ms : connect_wait_ms);
}

extern "C" {

Orwin Orwin_open(char *address)
{
    return open_negotiated(address, open_negotiation_timeout_ms);
}

Orwin Orwin_open_flagged(char *address, unsigned flags, int timeout)
{
    if (flags & CONNECT_FILE)
        return Orwin_open_file(address);
    return open_negotiated(address, timeout);
}

Orwin Orwin_open_as_server(int sock)
{
    once_per_process();
    return wrap_descriptor(sock);
}

#ifndef ORWIN_EARLIER_BUILD
Orwin Orwin_connect_raw(char *address)
{
    ORW *link = orw_connect(address);
    if (link == nullptr || !orw_initialise_link(link))
        return nullptr;
    return link;
}
#endif

Orwin Orwin_open_file(char *filename)
{
    if (filename == nullptr)
        return nullptr;
    const char *name = filename[0] == '-' ? filename + 1 : filename;
    // Standard input is duplicated so that closing the replay leaves it open.
    int fd = name[0] == '\0' ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        orw_set_system_error(Error_File_Not_Present, name[0] == '\0' ? "standard input" : name);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        orw_set_system_error(Error_File_Not_Present, name[0] == '\0' ? "standard input" : name);
        close(fd);
        return nullptr;
    }
    ORW *link = wrap_descriptor(fd);
    if (link == nullptr)
        return nullptr;
    link->system_type = SYSTEM_TYPE_Vex;
    if (const char *type = getenv("ORW_SYSTEM_TYPE")) {
        char *end = nullptr;
        long value = strtol(type, &end, 10);
        if (end != type)
            link->system_type = static_cast<int>(value);
    }
    link->file = fd;
    link->filesize = static_cast<uint64_t>(st.st_size);
    return link;
}

int Orwin_negotiate(Orwin handle)
{
    ORW *link = orw_link(handle);
    // The whole negotiation ends within the receive time-out in force when it
    // starts, whatever the unit sends meanwhile.
    const bool own_deadline = link->rx_timeout > 0 && link->rx_deadline_ms == 0;
    if (own_deadline)
        link->rx_deadline_ms = orw_monotonic_ms() + link->rx_timeout;
    const int rc = negotiate(link);
    if (own_deadline)
        link->rx_deadline_ms = 0;
    return rc;
}

void Orwin_set_slot(Orwin link, int index, int type)
{
    set_slot(orw_link(link), index, type);
}

} // extern "C"
