// SPDX-License-Identifier: MIT
// Orwin_Capture.hpp - the capture layer: the capture configuration applied
// to a recording unit, and the capture engine that records every link of a
// unit into native recording files.
#ifndef ORWIN_CAPTURE_HPP
#define ORWIN_CAPTURE_HPP

#include "Orwin_Export.h"

#include "Orwin.hpp"
#include "Orwin_Filewriter.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace orw {
namespace waveform {
class waveform;
} // namespace waveform

namespace trc {

/** One row of an option table: its name in files and its register bits. */
struct ORWIN_API capture_option {
    const char *name;
    uint32_t value;
};

/** One port's selection: bit i set when row i of the table is chosen. */
struct ORWIN_API capture_settings {
    uint32_t setting = 0;
};

/** Setting bits (row i = bit i) of the four option tables. */
namespace options {
namespace tt {
constexpr uint32_t first_byte = 0x001, EOP = 0x002, EEP = 0x004, time_code = 0x008, parity_error = 0x010,
                   ESC_ESC = 0x020, ESC_EOP = 0x040, ESC_EEP = 0x080, timeout = 0x100, fct = 0x200,
                   null = 0x400, intermediate_bytes = 0x800;
constexpr size_t nooptions = 12;
} // namespace tt
namespace er {
constexpr uint32_t time_code = 0x01, parity_error = 0x02, ESC_ESC = 0x04, ESC_EOP = 0x08, ESC_EEP = 0x10,
                   timeout = 0x20, fct = 0x40, null = 0x80;
constexpr size_t nooptions = 8;
} // namespace er
namespace ew_ports {
constexpr uint32_t port_1 = 0x0001, port_2 = 0x0002, port_3 = 0x0004, port_4 = 0x0008, port_5 = 0x0010,
                   port_6 = 0x0020, port_7 = 0x0040, port_8 = 0x0080, SMA_12 = 0x0100, SMA_34 = 0x0200,
                   SMA_56 = 0x0400, SMA_78 = 0x0800, barrier = 0x1000;
constexpr size_t nooptions = 13;
} // namespace ew_ports
namespace ew_capture {
constexpr uint32_t parity_error = 0x001, ESC_EOP = 0x002, ESC_EEP = 0x004, ESC_ESC = 0x008, EOP = 0x010,
                   EEP = 0x020, time_code = 0x040, excess_data = 0x080, excess_FCT = 0x100, timeout = 0x200,
                   FCT = 0x400;
constexpr size_t nooptions = 11;
} // namespace ew_capture
} // namespace options

/**
 * What a capture asks of the unit per port: timetag reporting, error
 * reporting, error-waveform sources and capture events, and which ports
 * take part. Settings are portable bit words (bit i = row i of a table); the
 * unit's register values are computed from them when applied.
 */
class ORWIN_API config {
  public:
    static constexpr int ports = 9; ///< settings are indexed by port 0..8

    capture_option tt_options[options::tt::nooptions];
    capture_option er_options[options::er::nooptions];
    capture_option ews_options[options::ew_ports::nooptions];
    capture_option ewc_options[options::ew_capture::nooptions];
    uint32_t active_ports = 0; ///< bit n = port n captured; 0 = not chosen yet
    capture_settings timetags[ports];
    capture_settings errors[ports];
    capture_settings sources[ports];
    capture_settings captures[ports];

    /** Fills the tables; no port chosen, every setting 0. */
    config();
    /** Fills the four option tables. */
    void init_options();
    /** Clears every port's settings; active_ports is kept. */
    void reset();
    /** Clears one settings array. */
    void reset(capture_settings *s);

    /**
     * Store the bits of `v` below `rows` as the setting of every port n
     * (0..8) whose bit is set in `ports` (replacing, not OR-ing).
     */
    void set_option(capture_settings *s, const capture_option *table, size_t rows, uint32_t ports,
                    uint32_t v);
    void tt_reporting(uint32_t ports, uint32_t v);
    void er_reporting(uint32_t ports, uint32_t v);
    void ew_sources(uint32_t ports, uint32_t v);
    void ew_capture(uint32_t ports, uint32_t v);
    /** OR of table[i].value for every bit i < rows set in `setting`. */
    static uint32_t native_setting(const capture_option *table, size_t rows, uint32_t setting);

    void set_ports(uint32_t mask) { active_ports = mask; }
    /** Ports 1..n. */
    void allports(int n);
    /**
     * reset(), then ports 1..numports get the default timetag, error and
     * capture words (the FCT and null rows only when `fcts`); sources stay 0.
     */
    void defaults(bool fcts, uint32_t numports);

    /**
     * Load a configuration file: JSON when the path ends in ".json" or
     * ".JSON", native lines otherwise. Unknown section and option names
     * are skipped and listed in warnings().
     * @throws orw::error, its address naming the file: -26 "can't open
     *         configuration file"; -38 for a directory, an empty or binary
     *         file, malformed JSON (with its position) or a file with no
     *         recognised setting; -25 for a port that is not an integer in
     *         0..8 or an option that is not a name (with the value)
     */
    void load(const std::string &path);
    /** Load native lines (reset() first). */
    void load(std::istream &in);
    /**
     * Parse a JSON document and OR its sections into the settings.
     * @throws the JSON library's exceptions for malformed JSON or wrong
     *         types (derived from std::exception); orw::error -25 for a port
     *         outside 0..8
     */
    void load_json(std::istream &in);

    /**
     * Send the configuration to a unit through `c`'s configuration
     * operations, ports 1..no_ports in order: active ones get their four
     * register values and normal mode, the others disabled mode. With no
     * port chosen, all ports are chosen first.
     * @throws orw::error from the first command that fails
     */
    void apply(orw::connection *c, int no_ports);

    const capture_option *get_tt_options() const { return tt_options; }
    const capture_option *get_er_options() const { return er_options; }
    const capture_option *get_ew_ports_options() const { return ews_options; }
    const capture_option *get_ew_capture_options() const { return ewc_options; }
    const capture_settings *get_tt_settings() const { return timetags; }
    const capture_settings *get_er_settings() const { return errors; }
    const capture_settings *get_ew_ports_settings() const { return sources; }
    const capture_settings *get_ew_capture_settings() const { return captures; }
    /** What the last load skipped: unknown sections and options, each naming the file. */
    const std::vector<std::string> &warnings() const { return notes; }

  private:
    struct ORWIN_LOCAL json_loader; // reads JSON documents; never exported
    friend struct json_loader;

    /** The settings entry of port `n`, refusing numbers outside 0..8. */
    capture_settings &port_entry(capture_settings *s, long long n) const;

    /** Record a skipped name once (and trace it). */
    void warn(const std::string &what);

    std::string source = "configuration"; // named in errors
    std::vector<std::string> notes;       // warnings of the last load
    size_t entries = 0;                   // port entries of known sections in the last load
};

/**
 * Records the traffic of every link of a recording unit (or replays a
 * recording). A capture thread reads the stream, counts it per link and
 * rotates files at packet ends; a timer thread ticks once a second, saves
 * waveforms, polls link status and enforces the run-time limit.
 *
 * Life: construct, set_config() (live units only), start(), clear `running`
 * (or let the run-time limit, the end of a replay or an error do so), wait().
 * Destroying a running capture stops and joins its threads first.
 */
class ORWIN_API capture : public orw::connection, public orw::utils::filewriter {
  public:
    bool linkstatus = false; ///< the unit can report link status
    std::mutex txlock;       ///< serialises commands from the capture's threads
    std::mutex wflock;       ///< guards savedwf
    std::vector<orw::waveform::waveform *> savedwf;
    std::thread capture_thr;
    std::thread timer_thr;
    int packet_data_size = 1048576;
    std::unique_ptr<uint8_t[]> packet_data; ///< the one read buffer
    uint32_t timetag_count = 0;
    std::string filename;           ///< recording target: file, template or directory
    uint32_t reportinginterval = 0; ///< seconds between link-status polls (0 polls every second)
    uint32_t runtime = 0;           ///< run-time limit in seconds, 0 = none
    std::string wf_dir;             ///< waveform directory, "" = no waveform files
    uint8_t no_ports = 0;
    bool has_tt_module = false;
    config *captureconfig = nullptr; ///< points to the capture's own copy, or null
    int wfid = 0;
    int error = 0; ///< code of the error that ended the capture thread
    int oserr = 0;
    std::string errortext;
    std::string eaddr;
    std::atomic<bool> capture_thread_running{false};
    /** Saved waveforms waiting to be written at most; more are dropped and counted. */
    static constexpr size_t max_saved_waveforms = 64;
    std::atomic<uint64_t> waveforms_dropped{0};
    /** Places where the stream broke its framing (the first ends the capture). */
    std::atomic<uint64_t> framing_faults{0};
    /** Longest packet a unit sends; a longer one means the framing broke. */
    uint64_t longest_packet = uint64_t{64} << 20;
    /** Set by a derived class that writes its own files and counts their
     *  bytes into currentsize; otherwise the native record file is counted. */
    bool counts_own_writes = false;
    std::atomic<bool> waveform_files_failed{false}; ///< a waveform's files could not all be written
    /** True when the capture ended because the live unit's connection was lost. */
    std::atomic<bool> connection_lost{false};
    /** Bound of one read of a live unit: a stop is seen within it. */
    static constexpr int read_timeout_ms = 100;
    /** A command the unit takes no byte of for this long fails, so that a
     *  unit that stops reading cannot hold a capture thread or a stop. */
    static constexpr int send_timeout_ms = 500;
    /** Length of one timer tick; one second (tests shorten it). */
    std::chrono::milliseconds tick_length{1000};

    /**
     * Connect to `host` (or replay the recording "-<path>") and check that
     * it is a recording unit; `rfs` is the rotation size in MiB (0: single
     * file). `options` is not used here.
     * @throws orw::error -29 "Address is empty" or "Device is not TRC/VGL",
     *         or the link's error when it cannot be opened
     */
    capture(const char *host, const char *filename, uint32_t options, uint32_t rfs);
    /** Stops and joins the threads if they still run, then closes. */
    ~capture() override;

    /**
     * Take a copy of `c` to apply at start (null: none).
     * @throws orw::error -35 on a replayed recording
     */
    void set_config(const config *c);
    /**
     * Apply the configuration and start both threads; `interval` is the
     * link-status polling interval in seconds.
     * @throws orw::error when a configuration command fails
     */
    void start(int interval);
    void set_runtime(uint32_t seconds) { runtime = seconds; }
    /** Clears `running` and wakes the timer; wait() then joins. */
    void stop();
    /**
     * Join both threads once `running` is cleared; their reads and commands
     * are bounded, so this returns within a read or send time-out.
     * @throws orw::error the error that ended the capture thread
     */
    void wait();
    /** True while either thread is still to be joined. */
    bool threads_started() const { return capture_thr.joinable() || timer_thr.joinable(); }

    static void *run(void *self);
    static void *timer(void *self);
    void capture_thread();
    void capture_timer();
    /** The read loop of the capture thread. */
    void acquire_data();
    /** Store the waveform directory, creating it when missing. */
    void set_wf_dir(const std::string &dir);
    /** Hand the queued waveforms to the waveform code. */
    void do_waveforms();

    // ---- Hooks, in slot order ---------------------------------------------------
    /** Switches the native recording to `name` ("null" in any case: none). */
    void set_file(const char *name, bool p1, bool p2) override;
    virtual void capture_error(int code);
    virtual void acquired_data(const uint8_t *data, ssize_t length, int flags);
    virtual void timetag_module_missing();
    virtual void timetag_module_present();
    /** A snapshot of the counters at the end of a poll; valid during the call. */
    virtual void update_link_status(const devstatus *s);
    /** update_link_status(s), then frees `s`. */
    virtual void update_status(devstatus *s);
    virtual void waveform_saved(orw::waveform::waveform *wf);
    virtual void waveform_file_saved(const char *file, orw::waveform::waveform *wf);
    /** Queue `wf` for output and re-arm the port's waveform capture. */
    virtual void waveform_complete(int port, orw::waveform::waveform *wf);

    // ---- Connection callbacks ---------------------------------------------------
    void link_selected(int link_) override;
    bool port_status(int port, double rxspeed, bool connected, int runstatus) override;
    using orw::connection::port_status;
    bool error_event() override;
    bool waveform_data(int erridx, int unit, int port, int ew_port, int event, char *cause,
                       unsigned char *data, size_t sz) override;
    /** Refuses a special packet from a slot the unit does not have. */
    int special_data(void *data_, int length_, int complete_, int data_buffer_position_) override;
    /** Refuses an extension command that does not exist. */
    bool unknown_extn_data(void *data_, int length_, int complete_, int data_buffer_position_) override;

  protected:
    void initialise();
    void start_run();
    /** Apply the configuration under txlock and mark the active links. */
    void apply_config();
    /** Stop and join threads still running (for destructors; never throws). */
    void join_threads();

  private:
    /** Read, count and rotate until `running` is cleared or the data end. */
    void read_loop(uint8_t *buffer, size_t size);
    /** Count one piece the stream gave, rotate at packet ends, hand it on. */
    void count_piece(const uint8_t *buffer, ssize_t n);
    /** Rotate once the size is reached and every link is between packets. */
    void rotate_between_packets();
    /** Count and trace a framing fault at the parser's stream offset; false (stop the read). */
    bool framing_broken(const char *what, unsigned value);
    /** Add a read to its link's open packet, refusing one longer than a unit sends. */
    void check_packet_length(size_t n);
    [[noreturn]] void throw_framing_error();
    /** Take rx_link from the stream's last link selection. */
    void follow_stream_link();
    /** Sleep one tick unless `running` is cleared meanwhile. */
    void sleep_tick();
    /** Send a status request and flush under txlock; false when it failed. */
    int poll_link_status();

    config own_config;                                  // the configuration given to set_config
    uint64_t open_packets = 0;                          // bit n: link n has a packet begun but not ended
    static constexpr size_t forced_rotation_factor = 2; // a packet open this long is cut
    static constexpr unsigned max_open_lengths = 64;    // a selection names links 0..63
    uint64_t open_length[max_open_lengths] = {};        // bytes of each link's open packet
    const char *framing_error = nullptr;                // static text of the first framing fault
    std::string framing_where;                          // where it was: address and byte offset
    const char *error_static = nullptr;                 // static text of the stored error
    std::mutex tick_lock;
    std::condition_variable tick_wake;
};

/** A capture into native recording files through the link's record file. */
class ORWIN_API trc_capture : public capture {
  public:
    using capture::capture;
    ~trc_capture() override;
};

} // namespace trc
} // namespace orw

#endif // ORWIN_CAPTURE_HPP
