// Job tokens: the short text by which the processes of a job name one run of it.
//
//   full form    jobId:phase:attempt:writeOpenCounter   (what constructJobToken makes)
//   three fields jobId:phase:attempt                    (writeOpenCounter reads as 0)
//   old form     jobId                                  (phase and attempt read as 0)
//
// All fields are unsigned decimal without blanks: jobId is 64-bit (a signed job id is written
// as its unsigned 64-bit value and reads back as the same signed value), phase, attempt and
// writeOpenCounter are 32-bit. Only the first 127 characters of a token are read.
//
// The functions log through a temporary debuggable object with the prefix "::constructJobToken"
// or "::parseJobToken".
#pragma once

#include <cstdint>
#include <string>

// The full form with writeOpenCounter 0.
std::string constructJobToken(int64_t jobId, unsigned long phase, unsigned long attempt);
// The full form. A phase or attempt of 0 makes a "fake" token: it is logged and built all the
// same. A phase, attempt or counter above 4294967295 cannot be written in a token: the failure
// is logged and the result is the empty string.
std::string constructJobToken(int64_t jobId, unsigned long phase, unsigned long attempt,
                              unsigned long writeOpenCounter);

// As the five-argument form, without the write counter.
bool parseJobToken(const char* token, int64_t& jobId, unsigned long& phase, unsigned long& attempt);
// Sets all outputs to 0, then reads the token. False only for a null token, an empty token and
// a token with exactly one ':'. A field that does not start with a number, or whose number does
// not fit its field (64 or 32 bits), is logged as invalid and reads as 0 without failing the
// call; a number followed by other characters reads as that number.
bool parseJobToken(const char* token, int64_t& jobId, unsigned long& phase, unsigned long& attempt,
                   unsigned long& writeOpenCounter);

// The job id of a token that parses, else 0.
int64_t getJobIdFromJobToken(const char* token);
