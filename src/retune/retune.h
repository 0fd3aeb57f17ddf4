// Retuning methods: how a tuning becomes pitch bends, tuning messages or
// notes spread over channels.
//
//   method.h    what a retuning inserts and which channels it leaves alone
//   pitch.h     a tuning's offsets as bend values; keys beyond the bends
//   passes.h    the plain methods: bends or tuning messages, two passes
//   messages.h  the events the methods insert: bend ranges, tuning messages
//   poly.h      --poly: every note on a channel bent for it alone
//   analyze.h   --analyze: what a file plays and which method suits it
#pragma once

#include "retune/method.h"
#include "retune/passes.h"
#include "retune/pitch.h"
