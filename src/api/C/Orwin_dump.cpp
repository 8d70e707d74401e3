// SPDX-License-Identifier: MIT
// Orwin_dump.cpp - diagnostic dumps of the receive buffer and state.
#include "OrwinInternal.h"

extern "C" {

int Orwin_dump(Orwin handle, char *file_name, char * /*note*/)
{
    ORW *link = orw_link(handle);
    if (link->max_dumps <= 0)
        return 0;
    link->max_dumps--;
    FILE *f = file_name ? fopen(file_name, "a") : nullptr;
    if (f == nullptr)
        return orw_set_error(Error_RecFile_Open, "Couldn't open recording file");

    const orw_rx_parser *rx = &link->rx;
    const unsigned char *input = orw_rx_input(rx);
    const size_t content = orw_rx_input_length(rx);
    const size_t ptr = orw_rx_parsed(rx);
    fprintf(f, "rx_buffer_content = #%zuX\n", content);
    fprintf(f, "rx_buffer_ptr = #%X \n", static_cast<unsigned>(ptr));
    fputs("rx_buffer: ", f);
    // A window around the parse position: up to 128 bytes before it, on a
    // 16-byte boundary, and up to 255 after.
    const size_t start = ptr > 128 ? ((ptr - 128) / 16) * 16 : 0;
    for (size_t i = start; input && i < content && i <= ptr + 255; ++i) {
        if (i % 16 == 0)
            fprintf(f, "\n#%06lX: ", static_cast<unsigned long>(i));
        fprintf(f, "#%02X ", input[i]);
    }
    fputs("\n\n-----------------------------------------------------\n\n", f);
    fflush(f);
    fclose(f);
    return 0;
}

void Orwin_dump_max(Orwin link, int dump_max)
{
    orw_link(link)->max_dumps = dump_max;
}

void Orwin_dump_status(Orwin handle)
{
    const ORW *link = orw_link(handle);
    char state[128];
    orw_rx_describe(&link->rx, state, sizeof state);
    fputs(state, stderr);
    const unsigned char *input = orw_rx_input(&link->rx);
    const size_t content = orw_rx_input_length(&link->rx);
    fprintf(stderr, "PTR %d TOTAL DATA %zu\n", static_cast<int>(orw_rx_parsed(&link->rx)), content);
    for (size_t i = 0; input && i < content; ++i)
        fprintf(stderr, "%zu = %02x\n", i, input[i]);
}

} // extern "C"
