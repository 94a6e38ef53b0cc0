// The device simulator's core: what the device answers to each request, and
// how the answer goes on the wire. No I/O happens here, so tests can drive it
// directly; the program adds the options, the pseudo-terminal and the timing.
#ifndef TOOLS_DEVSIM_SIMULATOR_H
#define TOOLS_DEVSIM_SIMULATOR_H

#include "protocol/config_fields.h"
#include "protocol/message_framing.h"
#include "protocol/message_kinds.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

using ::Bytes;

// Deliberate misbehaviour, for tests and training.
struct Faults {
    bool overrideStatus = false; // answer every request with `status`
    int32_t status = 0;
    bool noise = false;         // stray bytes before each response frame
    bool badChecksum = false;   // each response frame fails its checksum
    bool wrongLength = false;   // each response message is one byte too long
    bool unexpectedId = false;  // each response carries an id outside the set
    bool ignoreUpdates = false; // a trusted Config Update is answered 0 but not stored
};

// The bytes sent ahead of a response frame with the noise fault: none of
// them is a start or escape byte, so a receiver skips them.
const Bytes &noiseBytes();

// The id every response carries with the unexpected-id fault.
constexpr uint32_t UNEXPECTED_RESPONSE_ID = 7;

// The configuration a fresh simulator reports: plausible and acceptable to
// every check of the tool.
DeviceConfig defaultConfig();

// Why a received configuration record cannot be trusted (a text field whose
// array holds no NUL, or whose length byte disagrees with its text), or an
// empty string if it can.
std::string configProblem(const DeviceConfig &config);

// What the simulator makes of one request.
struct Outcome {
    Bytes response;      // the response message; empty: no answer
    std::string problem; // why the request was not understood
    std::string note;    // why an answered request was not carried out
    bool certificateStored = false;
    bool configStored = false; // a Config Update was accepted and kept
};

class Simulator
{
public:
    explicit Simulator(const Faults &faults = Faults());

    // Handles one request message (the payload of one frame).
    Outcome handle(const uint8_t *message, size_t length);

    // Wraps a response message in a frame, with the wire-level faults applied.
    Bytes frame(const Bytes &response) const;

    const DeviceConfig &config() const { return config_; }
    // The configuration the device starts with, as a state file kept it.
    void setConfig(const DeviceConfig &config) { config_ = config; }
    const Bytes &certificate() const { return certificate_; }

private:
    // The requests that change the device; each answers with the response
    // before the response faults are applied, or with the problem that leaves
    // it unanswered.
    Outcome handleUpdate(const DeviceConfig &received);
    Outcome handleCertificate(const DeviceMessage &request, size_t length);
    // The response to `kind` with `status` (or the status fault's), carrying
    // the configuration where the response has one.
    Bytes response(const MessageKind &kind, int32_t status) const;
    Bytes finish(Bytes response) const;

    Faults faults_;
    DeviceConfig config_;
    Bytes certificate_;
};

// Splits bytes into `pieces` consecutive parts of nearly equal size (fewer if
// there are fewer bytes than pieces).
std::vector<Bytes> splitInto(const Bytes &bytes, int pieces);

} // namespace devsim

#endif // TOOLS_DEVSIM_SIMULATOR_H
