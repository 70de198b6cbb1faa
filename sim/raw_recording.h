#pragma once

#include "capture/media.h"

#include <memory>

// The virtual rig's raw test recording, for where the platform's media back
// end cannot record (Wine's Media Foundation has no MP4 writer): not a
// video file but a header line that says so, then each frame's time, size
// and B, G, R bytes. Read back as the platform's reader reads a recording
// (the frame shown at a time, reduced on request).

namespace pxo::sim {

inline constexpr char kRawRecordingHeader[] =
    "PIXORIA RAW TEST RECORDING - not a video file\n";

std::unique_ptr<pxowin::RecordingWriter> createRawRecordingWriter();
std::unique_ptr<pxowin::FrameExtractor> createRawRecordingReader();

// Whether the platform's writer records here: tried once per process on a
// small file in the temporary folder. `why` gets its message when not.
bool platformCanRecord(std::string* why = nullptr);

}  // namespace pxo::sim
