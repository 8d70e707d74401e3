// SPDX-License-Identifier: MIT
// Orwin_trace.cpp - the text trace of a link: one line per packet sent or
// received, and the link numbers those lines show.
#include "OrwinInternal.h"

namespace {

void write_bytes(FILE *f, const unsigned char *p, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        fprintf(f, " #%2.2X", p[i]);
}

// Data rows: max_length bytes per row, an extra space after every fourth
// byte inside a row, a continuation marker with the next index between rows.
void write_rows(FILE *f, const unsigned char *p, size_t length, int max_length)
{
    const size_t row = max_length > 0 ? static_cast<size_t>(max_length) : 16;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0 && i % row == 0)
            fprintf(f, " \\\n                [%4.1i]", static_cast<int>(i));
        else if (i > 0 && (i % row) % 4 == 0)
            fputc(' ', f);
        fprintf(f, " #%2.2X", p[i]);
    }
}

// A line that does not reach the file is reported when the file is closed.
void flush_log(ORW *link)
{
    if (fflush(link->log_file) != 0 || ferror(link->log_file))
        link->log_lost = 1;
}

} // namespace

void orw_log_packet(ORW *link, int direction, const void *buffer, size_t length, int type)
{
    const unsigned char *p = static_cast<const unsigned char *>(buffer);
    const bool tx = direction == ORW_DIRECTION_TX;
    int &port = tx ? link->log_tx_port : link->log_rx_port;
    const bool extension = type == Orwin_EXTN || type == Orwin_PART_EXTN;
    const bool link_select = extension && p && length > 0 && orw::wire::is_link_select(p[0]);
    // The link number follows selections even when nothing is traced.
    if (link_select)
        port = static_cast<int>(orw::wire::link_of_select(p[0]));
    FILE *f = link->log_file;
    if (f == nullptr)
        return;
    if (p == nullptr)
        length = 0;

    fprintf(f, tx ? "Tx@%i" : "Rx@%i", port);
    if (type == Orwin_PART_EXTN)
        return; // the rest of the extension comes with a later read
    if (type == Orwin_SPECIAL) {
        fprintf(f, " // SPECIAL_PACKET (len=%d):", static_cast<int>(length));
        write_bytes(f, p, length);
    } else if (type == Orwin_EXTN &&
               length >= static_cast<size_t>(orw::wire::extension_size(orw::wire::extn::TimeTag)) &&
               p[0] == orw::wire::extn::TimeTag) {
        // All eight count bytes, as the unit sent them.
        const uint64_t count =
            orw::wire::get_be(p + orw::wire::timetag::count, orw::wire::timetag::count_size);
        fprintf(f, " // timetag {%.1fns}\n", static_cast<double>(count) * 0.1);
        flush_log(link);
        return;
    } else if (type == Orwin_EXTN && link_select) {
        fprintf(f, " // Set active link = %d\n", static_cast<int>(orw::wire::link_of_select(p[0])));
        flush_log(link);
        return;
    } else if (type == Orwin_EXTN) {
        fprintf(f, " // EXTN_PACKET (len=%d):", static_cast<int>(length));
        write_bytes(f, p, length);
    } else {
        fprintf(f, " (len=%4d) [%4.1i]", static_cast<int>(length), 0);
        write_rows(f, p, length, link->max_length);
        if (type == Orwin_EOP)
            fputs(" EOP", f);
        else if (type == Orwin_EEP)
            fputs(" EEP", f);
    }
    fputc('\n', f);
    flush_log(link);
}

extern "C" {

int Orwin_set_log_file(Orwin handle, char *file_name)
{
    ORW *link = orw_link(handle);
    const bool old_whole = orw_finish_stream(link->log_file, link->log_lost);
    link->log_file = nullptr;
    link->log_lost = 0;
    if (file_name != nullptr) {
        FILE *f = (file_name[0] == '-' && file_name[1] == '\0') ? stdout : fopen(file_name, "w");
        if (f == nullptr)
            return orw_set_error(Error_LogFile_Open, "error opening log file");
        link->log_file = f;
    }
    return old_whole ? 0 : orw_set_error(Error_LogFile_Write, "error writing to log file");
}

} // extern "C"
