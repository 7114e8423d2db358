#pragma once

// Makes the calling thread one that works through data for a card's thread
// (reading and decoding the image, hashing it) and never needs to run the
// moment it wakes. On Linux it is scheduled as SCHED_BATCH: it keeps its full
// share of the processor, but waking it no longer takes the core from the
// thread that woke it. Without this, handing a chunk back to the reading
// thread stalled the card's thread for a few milliseconds at every chunk
// while the reader ran in its place, and the card waited meanwhile. Threads
// started from this one (liblzma's decoders) inherit the policy. Elsewhere
// it does nothing: Windows gives a thread whose transfer has ended a boost of
// its own.
void useBatchScheduling();
