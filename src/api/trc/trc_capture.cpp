// SPDX-License-Identifier: MIT
// orw::trc::trc_capture: the capture into native recording files, written by
// the link's record file as the stream is read.
#include "Orwin_Capture.hpp"

namespace orw {
namespace trc {

// Stopped here, while this object is whole: the threads call its hooks.
trc_capture::~trc_capture()
{
    join_threads();
}

} // namespace trc
} // namespace orw
