/*
 * Frame codec: byte-at-a-time encoder and decoder state machines over a
 * caller-owned FrameCodec context. See frame_codec.h for the wire format.
 */
#include "framing/frame_codec.h"

#include <stddef.h>
#include <string.h>

static void clear_counters(FrameCodec *codec)
{
    codec->payloadLength = 0;
    codec->payloadIndex = 0;
    codec->reserved2 = 0;
    codec->checksum = 0;
}

/* A context that was never bound (all zeros) has no buffer to clear. */
static void clear_buffer(FrameCodec *codec)
{
    if (codec->buffer != NULL) {
        memset(codec->buffer, 0, codec->capacity);
    }
}

int frame_init(FrameCodec *codec, uint8_t *buffer, uint16_t capacity)
{
    if (codec == NULL || buffer == NULL || capacity == 0) {
        return FRAME_ERROR;
    }
    codec->buffer = buffer;
    codec->capacity = capacity;
    codec->reserved0 = NULL;
    codec->byteHook = NULL;
    codec->reserved1 = NULL;
    codec->stateHook = NULL;
    clear_counters(codec);
    clear_buffer(codec);
    codec->state = FRAME_ST_IDLE;
    return FRAME_OK;
}

void frame_reset(FrameCodec *codec)
{
    if (codec == NULL) {
        return;
    }
    clear_counters(codec);
    clear_buffer(codec);
    codec->state = FRAME_ST_IDLE;
    if (codec->stateHook != NULL) {
        codec->stateHook();
    }
}

/* ---- Encoder ---------------------------------------------------------- */

int frame_append(FrameCodec *codec, const uint8_t *chunk, uint16_t count, uint8_t last)
{
    if (codec == NULL || chunk == NULL || codec->buffer == NULL) {
        return FRAME_ERROR;
    }
    /* Summed as unsigned int: a 16-bit sum could wrap and pass. */
    if ((unsigned)codec->payloadIndex + count > codec->capacity) {
        return FRAME_ERROR;
    }
    if (codec->state != FRAME_ST_IDLE && codec->state != FRAME_ST_TX_FILLING) {
        return FRAME_ERROR;
    }
    /* A frame carries at least one payload byte; an empty one could not be
     * ended properly by the emitter, so it is never armed. */
    if (last && (unsigned)codec->payloadLength + count == 0) {
        return FRAME_ERROR;
    }

    if (count > 0) {
        memcpy(codec->buffer + codec->payloadLength, chunk, count);
    }
    codec->payloadLength = (uint16_t)(codec->payloadLength + count);
    if (last) {
        codec->payloadIndex = 0;
        codec->state = FRAME_ST_TX_START;
    } else {
        codec->payloadIndex = (uint16_t)(codec->payloadIndex + count);
        codec->state = FRAME_ST_TX_FILLING;
    }
    return FRAME_TX_QUEUED;
}

/* Writes a byte that counts towards the checksum. */
static int emit_summed(FrameCodec *codec, uint8_t *out, uint8_t b, FrameState next)
{
    *out = b;
    codec->checksum = (uint8_t)(codec->checksum + b);
    codec->state = next;
    return FRAME_TX_MORE;
}

/* Writes a length byte, or the escape in front of it when it is special. */
static int emit_length_byte(FrameCodec *codec, uint8_t *out, uint8_t b, FrameState escState,
                            FrameState next)
{
    if (frame_is_special(b)) {
        return emit_summed(codec, out, FRAME_ESCAPE, escState);
    }
    return emit_summed(codec, out, b, next);
}

/* Writes a (possibly escaped) payload byte and moves to the next one. */
static int emit_payload_byte(FrameCodec *codec, uint8_t *out, uint8_t b)
{
    codec->payloadIndex++;
    return emit_summed(codec, out, b,
                       codec->payloadIndex == codec->payloadLength ? FRAME_ST_TX_CHECKSUM
                                                                   : FRAME_ST_TX_DATA_NEXT);
}

/* The checksum field itself is not summed. */
static int emit_final(FrameCodec *codec, uint8_t *out, uint8_t b)
{
    *out = b;
    codec->state = FRAME_ST_TX_DONE;
    return FRAME_TX_DONE;
}

/* The checksum goes out last, escaped if it is special. */
static int emit_checksum(FrameCodec *codec, uint8_t *out)
{
    if (!frame_is_special(codec->checksum)) {
        return emit_final(codec, out, codec->checksum);
    }
    *out = FRAME_ESCAPE;
    codec->state = FRAME_ST_TX_CHECKSUM_ESC;
    return FRAME_TX_MORE;
}

int frame_encode_byte(FrameCodec *codec, uint8_t *out)
{
    if (codec == NULL) {
        return FRAME_ERROR;
    }
    const uint8_t lenLo = (uint8_t)(codec->payloadLength & 0xFF);
    const uint8_t lenHi = (uint8_t)(codec->payloadLength >> 8);

    switch (codec->state) {
    case FRAME_ST_TX_DATA:
    case FRAME_ST_TX_DATA_NEXT: {
        const uint8_t b = codec->buffer[codec->payloadIndex];
        if (frame_is_special(b)) {
            return emit_summed(codec, out, FRAME_ESCAPE, FRAME_ST_TX_DATA_ESC);
        }
        return emit_payload_byte(codec, out, b);
    }
    case FRAME_ST_TX_DATA_ESC:
        return emit_payload_byte(codec, out,
                                 (uint8_t)(codec->buffer[codec->payloadIndex] ^ FRAME_ESCAPE_XOR));
    case FRAME_ST_TX_START:
        *out = FRAME_START;
        codec->state = FRAME_ST_TX_LEN_LO;
        return FRAME_TX_MORE;
    case FRAME_ST_TX_LEN_LO:
        return emit_length_byte(codec, out, lenLo, FRAME_ST_TX_LEN_LO_ESC, FRAME_ST_TX_LEN_HI);
    case FRAME_ST_TX_LEN_LO_ESC:
        return emit_summed(codec, out, (uint8_t)(lenLo ^ FRAME_ESCAPE_XOR), FRAME_ST_TX_LEN_HI);
    case FRAME_ST_TX_LEN_HI:
        return emit_length_byte(codec, out, lenHi, FRAME_ST_TX_LEN_HI_ESC, FRAME_ST_TX_DATA);
    case FRAME_ST_TX_LEN_HI_ESC:
        return emit_summed(codec, out, (uint8_t)(lenHi ^ FRAME_ESCAPE_XOR), FRAME_ST_TX_DATA);
    case FRAME_ST_TX_CHECKSUM: return emit_checksum(codec, out);
    case FRAME_ST_TX_CHECKSUM_ESC:
        return emit_final(codec, out, (uint8_t)(codec->checksum ^ FRAME_ESCAPE_XOR));
    default: /* idle, still filling, done, a decoder state or garbage */ return FRAME_ERROR;
    }
}

/* ---- Decoder ---------------------------------------------------------- */

/* Observers of the decoder's progress; both or nothing. */
static void call_both_hooks(const FrameCodec *codec)
{
    if (codec->stateHook != NULL && codec->byteHook != NULL) {
        codec->stateHook();
        codec->byteHook();
    }
}

/* A byte was consumed and the frame goes on. */
static int rx_busy(const FrameCodec *codec)
{
    call_both_hooks(codec);
    return FRAME_RX_BUSY;
}

/* A start byte inside a frame: drop the partial frame and begin the new one.
 * Stale bytes stay in the buffer; only the first payloadLength bytes of a
 * completed frame are ever the caller's. */
static int rx_restart(FrameCodec *codec)
{
    clear_counters(codec);
    codec->state = FRAME_ST_RX_LEN_LO;
    call_both_hooks(codec);
    return FRAME_ERROR;
}

/* A broken frame: forget it entirely and wait for the next start byte. */
static int rx_abort(FrameCodec *codec)
{
    clear_counters(codec);
    clear_buffer(codec);
    codec->state = FRAME_ST_IDLE;
    if (codec->stateHook != NULL) {
        codec->stateHook();
    }
    return FRAME_ERROR;
}

/* Each of the three expecting states has its escape state right after it. */
_Static_assert(FRAME_ST_RX_LEN_LO_ESC == FRAME_ST_RX_LEN_LO + 1, "escape state follows");
_Static_assert(FRAME_ST_RX_LEN_HI_ESC == FRAME_ST_RX_LEN_HI + 1, "escape state follows");
_Static_assert(FRAME_ST_RX_DATA_ESC == FRAME_ST_RX_DATA + 1, "escape state follows");

/* Takes one unstuffed value of the field that `field` (a non-escape state)
 * expects; wireByte is what arrived on the line and is what gets summed. */
static int rx_value(FrameCodec *codec, FrameState field, uint8_t value, uint8_t wireByte)
{
    switch (field) {
    case FRAME_ST_RX_LEN_LO:
        codec->payloadLength = value;
        codec->state = FRAME_ST_RX_LEN_HI;
        break;
    case FRAME_ST_RX_LEN_HI: {
        const uint16_t length = (uint16_t)(codec->payloadLength | (uint16_t)(value << 8));
        /* Refused as soon as it is known: a length over capacity would
         * overrun the buffer, and a zero length could never complete. */
        if (length == 0 || length > codec->capacity) {
            return rx_abort(codec);
        }
        codec->payloadLength = length;
        codec->state = FRAME_ST_RX_DATA;
        break;
    }
    default: /* FRAME_ST_RX_DATA */
        codec->buffer[codec->payloadIndex] = value;
        codec->payloadIndex++;
        codec->state =
            codec->payloadIndex == codec->payloadLength ? FRAME_ST_RX_CHECKSUM : FRAME_ST_RX_DATA;
        break;
    }
    codec->checksum = (uint8_t)(codec->checksum + wireByte);
    return rx_busy(codec);
}

static int rx_check(FrameCodec *codec, uint8_t received)
{
    if (received != codec->checksum) {
        return rx_abort(codec);
    }
    /* Payload, length and checksum stay for the caller to take. */
    codec->state = FRAME_ST_IDLE;
    if (codec->stateHook != NULL) {
        codec->stateHook();
    }
    return FRAME_RX_DONE;
}

static int rx_idle(FrameCodec *codec, uint8_t wireByte)
{
    if (wireByte != FRAME_START) {
        return FRAME_OK;
    }
    clear_counters(codec);
    codec->state = FRAME_ST_RX_LEN_LO;
    return rx_busy(codec);
}

/* A length or payload byte, or an escape in front of one (which is summed). */
static int rx_expected(FrameCodec *codec, FrameState field, uint8_t wireByte)
{
    if (wireByte == FRAME_START) {
        return rx_restart(codec);
    }
    if (wireByte != FRAME_ESCAPE) {
        return rx_value(codec, field, wireByte, wireByte);
    }
    codec->checksum = (uint8_t)(codec->checksum + wireByte);
    codec->state = field + 1; /* the _ESC state beside it */
    return rx_busy(codec);
}

/* The byte after an escape in front of a length or payload byte. */
static int rx_escaped(FrameCodec *codec, FrameState escState, uint8_t wireByte)
{
    if (wireByte == FRAME_START) {
        return rx_restart(codec);
    }
    if (wireByte == FRAME_ESCAPE) {
        return rx_abort(codec);
    }
    return rx_value(codec, (FrameState)(escState - 1), (uint8_t)(wireByte ^ FRAME_ESCAPE_XOR),
                    wireByte);
}

/* The checksum, or the escape in front of it; the field itself is not summed,
 * and its escape calls no hook. */
static int rx_checksum(FrameCodec *codec, uint8_t wireByte)
{
    if (wireByte == FRAME_START) {
        return rx_restart(codec);
    }
    if (wireByte == FRAME_ESCAPE) {
        codec->state = FRAME_ST_RX_CHECKSUM_ESC;
        return FRAME_RX_BUSY;
    }
    return rx_check(codec, wireByte);
}

static int rx_checksum_escaped(FrameCodec *codec, uint8_t wireByte)
{
    if (wireByte == FRAME_START) {
        return rx_restart(codec);
    }
    if (wireByte == FRAME_ESCAPE) {
        return rx_abort(codec);
    }
    return rx_check(codec, (uint8_t)(wireByte ^ FRAME_ESCAPE_XOR));
}

int frame_decode_byte(FrameCodec *codec, uint8_t wireByte)
{
    if (codec == NULL) {
        return FRAME_ERROR;
    }
    const FrameState state = (FrameState)codec->state;

    switch (state) {
    case FRAME_ST_IDLE: return rx_idle(codec, wireByte);
    case FRAME_ST_RX_LEN_LO:
    case FRAME_ST_RX_LEN_HI:
    case FRAME_ST_RX_DATA: return rx_expected(codec, state, wireByte);
    case FRAME_ST_RX_LEN_LO_ESC:
    case FRAME_ST_RX_LEN_HI_ESC:
    case FRAME_ST_RX_DATA_ESC: return rx_escaped(codec, state, wireByte);
    case FRAME_ST_RX_CHECKSUM: return rx_checksum(codec, wireByte);
    case FRAME_ST_RX_CHECKSUM_ESC: return rx_checksum_escaped(codec, wireByte);
    default: return FRAME_ERROR; /* not initialised, or an encoder state */
    }
}
