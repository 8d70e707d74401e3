// SPDX-License-Identifier: MIT
// Orwin_Pcap.hpp - the capture engine writing pcap files (nanosecond form)
// or a pipe: every SpaceWire packet, link event and time-code a unit reports
// becomes a record of the link number, a type byte and the packet data.
#ifndef ORWIN_PCAP_HPP
#define ORWIN_PCAP_HPP

#include "Orwin_Export.h"

#include "Orwin_Capture.hpp"
#include "Orwin_Platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

namespace pcap {

/** The 24-byte file header, host byte order. */
struct ORWIN_API pcap_file_header {
    uint32_t magic;
    uint16_t version_major;
    uint16_t version_minor;
    int32_t thiszone;
    uint32_t sigfigs;
    uint32_t snaplen;
    uint32_t linktype;
};

/** The 16-byte record header as stored; `tv_usec` holds nanoseconds. */
struct ORWIN_API pcap_sf_pkthdr {
    int32_t tv_sec;
    int32_t tv_usec;
    uint32_t caplen;
    uint32_t len;
};

/** A record header in memory, narrowed to pcap_sf_pkthdr when written. */
struct ORWIN_API pcap_pkthdr {
    int64_t tv_sec = 0;
    int64_t tv_nsec = 0;
    uint32_t caplen = 0;
    uint32_t len = 0;
};

constexpr uint32_t magic_nanoseconds = 0xA1B23C4D;
/** Longest record body; readers refuse longer records, so packets are split. */
constexpr uint32_t snap_length = 65536;
constexpr int default_link_type = 147;

/** Record types: the second body byte. */
enum record_type : uint8_t {
    record_part = 0, ///< packet data, more follows in a later record
    record_eep = 1,
    record_eop = 2,
    record_parity_error = 3,
    record_missing_data = 4,
    record_link_timeout = 5,
    record_perror1 = 6,
    record_perror2 = 7,
    record_esc_esc = 8,
    record_esc_eop = 9,
    record_esc_eep = 10,
    record_timecode = 11, ///< a third byte holds the time-code
    record_fct = 12,
    record_esc_fct = 13,
};

/**
 * Link type of every file this process writes: 0 until the first capture
 * fixes it from ORW_PCAP_ID (a decimal number in 1..65535), else 147.
 */
extern ORWIN_API std::atomic<int> pcap_id;
/** Fixes pcap_id once per process, whichever thread comes first; returns it. */
ORWIN_API int fix_link_type();

/**
 * Writes the record header `h` and its `h->caplen` bytes of `data` to `f`
 * when given, else to `pipe` when given, else nowhere.
 * @return true when written (or nowhere to write), false on a write error
 */
ORWIN_API bool pcap_save_data(FILE *f, ORW_PIPE_DATA *pipe, const pcap_pkthdr *h, const uint8_t *data);

/**
 * The capture engine writing pcap records. Without aggregation every read
 * becomes a record; with it the reads of one packet join into one record
 * written at its EOP or EEP. A record never exceeds the snap length: longer
 * packets continue in further records typed 0. Everything runs on the
 * capture thread except construction and destruction.
 */
class ORWIN_API capture : public orw::trc::capture {
  public:
    static constexpr uint32_t AGGREGATE_PACKETS = 1;
    static constexpr uint32_t RECORD_TIMESTAMPS = 2;
    static constexpr uint32_t RECORD_EOP_TIMESTAMPS = 4;
    static constexpr int links = 64;          ///< record buffers, by link number 0..63 (a selection's range)
    static constexpr size_t header_size = 16; ///< record header in front of each body
    static constexpr size_t body_offset = 18; ///< header, link and type bytes

    uint64_t lastp[links] = {};
    FILE *file = nullptr;          ///< the open pcap file, or null
    ORW_PIPE_DATA *pipe = nullptr; ///< the open pipe, or null
    std::string filename;          ///< name of the open file or pipe
    uint32_t options = 0;          ///< AGGREGATE_PACKETS, RECORD_TIMESTAMPS, RECORD_EOP_TIMESTAMPS
    size_t pkt_data_size = 0;      ///< bytes of each record buffer: header and a full body
    std::unique_ptr<uint8_t[]>
        lnkpkt[links];        ///< pending record per link: header, link, type, data (made on first use)
    size_t lnksz[links] = {}; ///< bytes of the pending record (0 = none)
    int tzconv = 0;           ///< the file header's time-zone field
    std::atomic<uint64_t> records{0};      ///< records written
    std::atomic<uint64_t> lost_records{0}; ///< records a write error lost

    /**
     * Connect to `host` and check the unit as the engine does, then set up
     * the pcap options and buffers (initialise()).
     * @throws orw::error as orw::trc::capture
     */
    capture(const char *host, const char *target, uint32_t options, uint32_t rfs);
    /** Stops the threads, then writes pending records and closes the file. */
    ~capture() override;

    /** Options from the environment, record buffers, link type, time zone. */
    void initialise();
    /**
     * Open `name` and write the file header: "-" is standard output,
     * "pipe:<path>" (any case) a named pipe that waits about 2 s for its
     * reader (less when the capture is stopped), anything else a regular
     * file, replaced if it exists.
     * @throws orw::error "Unable to create file" or "Unable to open pipe"
     *         with the system error number; -44 "no reader on pipe" (or
     *         "stopped while waiting for a reader on pipe"); -1 "capture
     *         target is not a regular file"
     */
    void new_file(const char *name);
    /** Write the pending record of `link`, if any, and drop it. */
    void save_packet(int link);
    /**
     * Place one read of `size` bytes of link rx_link, `type` 0 (more
     * follows), 1 (EEP) or 2 (EOP), into records.
     */
    void write_packet(const uint8_t *data, size_t size, uint8_t type);

    // ---- Filewriter hooks ------------------------------------------------------------
    void file_start(const char *name, int gen) override;
    /**
     * Close the current file (the last one: pending records written first;
     * otherwise they continue in `next`) and open `next` when given.
     * @throws orw::error -2 naming the file when it lost records to write errors
     */
    void file_end(const char *next) override;
    const char *file_suffix() override;

    // ---- Event records ---------------------------------------------------------------
    /** Write the record [link, code] at once. */
    virtual void error_code(int code);
    /** Write the record [link, type, data] at once. */
    virtual void data_tag(int type, uint8_t data);

    /** @throws orw::error "No data filee" when no file or pipe is open */
    void acquired_data(const uint8_t *data, ssize_t length, int flags) override;

    bool missing_data() override;
    bool esc_eep() override;
    bool received_fct() override;
    bool received_esc_fct() override;
    bool esc_eop() override;
    bool esc_esc() override;
    bool link_timeout() override;
    bool parity_error() override;
    bool perror1() override;
    bool perror2() override;
    bool timecode(uint8_t tc_, uint8_t a_, uint8_t b_, uint8_t t_) override;

  protected:
    /** Close the file or pipe without writing pending records. */
    void close_output();

  private:
    /** rx_link as an index of the record buffers. */
    unsigned record_link() const;
    /** Start link k's record with its time stamp, link and `type`. */
    void start_record(unsigned k, uint8_t type);
    /** The timetag kept for link k (one that never has any for links beyond the table). */
    orw::timestamp &link_timestamp(unsigned k);
    /**
     * Time of a record of a link with timetag `ts`: live, the host clock
     * (the timetag's time while it is fresh); replayed, the recording's own
     * time. Never earlier than the record before it.
     */
    void stamp(pcap_pkthdr &h, const orw::timestamp &ts);
    /** Host time: the monotonic clock on the connection's real-time base. */
    void host_time(pcap_pkthdr &h) const;
    /** Write one record to the open output, counting it or its loss. */
    void save(pcap_pkthdr &h, const uint8_t *body);
    /** Raise `h` to the time of the record written before it, if earlier. */
    void in_order(pcap_pkthdr &h);
    /** Count a record lost to a write error; the first one is traced. */
    void record_lost();
    /** Write an event record of `n` body bytes at once. */
    void event_record(const uint8_t *body, uint32_t n);
    /** Write the file header; false when it could not be written. */
    bool write_header();

    pcap_pkthdr heads[links];   // headers of the pending records
    timespec clock_offset{};    // real time minus monotonic time at connection
    bool stdout_output = false; // `file` is standard output: never closed
    orw::timestamp untimed{};   // links without a timetag entry
    pcap_pkthdr last_stamp;     // time of the last record written
    static constexpr int64_t fresh_timetag_ns =
        20000000;                  // a timetag this close to the host clock dates a record
    uint64_t lost_before_file = 0; // lost_records when the current file was opened
};

} // namespace pcap

namespace orw {
namespace trc {

/** A capture into pcap files or a pipe. */
class ORWIN_API pcap_capture : public pcap::capture {
  public:
    /** Traces "Capturing from host '%s' tp '%s'"; see pcap::capture. */
    pcap_capture(const char *host, const char *target, uint32_t options, uint32_t rfs);
    ~pcap_capture() override;
};

} // namespace trc
} // namespace orw

#endif // ORWIN_PCAP_HPP
