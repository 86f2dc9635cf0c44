// The block that the encoder record and all its copies share: locks, the
// picture control slot, failure flags, the access-unit buffer, the picture
// pools and the per-encoder tables. Allocated at open, freed last at close.
#pragma once
#include <cstdint>

#include "encoder/encoder_instance.h"
#include "encoder/page_prefault.h"

enum { LOOKAHEAD_SCRATCH_BYTES = 7168 };

struct encoder_shared {
    tv_mutex instance_lock;
    tv_mutex claim_lock;
    tv_mutex sum_lock;
    picture_control control_slot;
    int32_t job_failed;
    int32_t jobs_run;
    int32_t locks_made;              // bit 0 instance lock, bits 1-2 the lookahead locks
    au_buffer au;
    picture_pools pools;
    scan_tables scans;
    uint8_t *lowres_phase_scratch;   // subpel_level 3 and above (caller's thread only)
    picture *source_ahead;           // the next input's picture, taken while the lookahead fills
    prefault_work source_ahead_fault;   // its pages, being faulted in on the job pool
};
