#include "scan/plan_decoding.h"

namespace pxo {

PlanDecoding planDecoding(const ScanPlan* plan) {
  PlanDecoding d;
  FrameTables& t = d.tables;
  t.idBits = planIdBits(plan);
  t.passes = planPasses(plan);
  t.bitFrames.resize(static_cast<size_t>(t.idBits) *
                     static_cast<size_t>(t.passes));
  t.bitComplementFrames.resize(t.bitFrames.size());
  t.parityFrames.resize(static_cast<size_t>(t.passes));
  t.parityComplementFrames.resize(t.parityFrames.size());
  decoderFrameTables(plan,
                     t.bitFrames.data(),
                     t.bitComplementFrames.data(),
                     t.parityFrames.data(),
                     t.parityComplementFrames.data());
  d.passShifts.resize(static_cast<size_t>(t.passes));
  if (passChannelShifts(
          planProtocolName(plan), d.passShifts.data(), t.passes) != t.passes)
    d.passShifts.clear();
  return d;
}

bool PlanDecoding::options(const ScanPlan* plan,
                           int32_t width,
                           int32_t height,
                           int32_t ledCount,
                           DecodeOptions* out,
                           std::string* error) const {
  DecodeOptions o = defaultDecodeOptions();
  o.baselineFrame = 0;
  o.floodFrames = {floodFrameIndex(plan, 0),
                   floodFrameIndex(plan, 1),
                   floodFrameIndex(plan, 2)};
  o.width = width;
  o.height = height;
  o.refWidth = width;
  o.refHeight = height;
  o.ledCount = ledCount;
  o.passShifts = passShifts.empty() ? nullptr : passShifts.data();
  std::string why;
  if (!o.check(&why)) {
    if (error) *error = "invalid decode options: " + why;
    return false;
  }
  *out = o;
  return true;
}

}  // namespace pxo
