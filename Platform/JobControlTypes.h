// The value types of the job-control and session services. They travel as plain numbers: the
// library passes them through unchanged, and the job-control journal records them as numbers.
#pragma once

#include <cstdint>

// The product role a request is made for.
using KRS_PLATFORMTYPE = int;
constexpr KRS_PLATFORMTYPE KRS_PLATFORMTYPE_TALCLIENT = 1;
constexpr KRS_PLATFORMTYPE KRS_PLATFORMTYPE_MEDIAAGENT = 2;
constexpr KRS_PLATFORMTYPE KRS_PLATFORMTYPE_TALSERVER = 4;

// The event message type that goes with a pending cause.
using EvMessageType = int;

// How a backup job or phase ended, what the status is for, and why a job waits.
using KRJobStatus = int;
constexpr KRJobStatus KRJOBSTATUS_FAILED = 2;

using KRJobStatusFor = int;
constexpr KRJobStatusFor KRJOBSTATUSFOR_PHASE = 1;
constexpr KRJobStatusFor KRJOBSTATUSFOR_JOB = 2;

using KRPendingCause = int;
