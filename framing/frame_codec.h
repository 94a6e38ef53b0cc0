/*
 * Frame codec: byte-stuffed frames on a serial byte stream.
 *
 * Wire format of one frame (all multi-byte values little-endian):
 *
 *   FE | len lo | len hi | payload (len bytes) | checksum
 *
 * - FE (FRAME_START) begins a frame and never appears inside one.
 * - The length counts payload bytes before stuffing; at least 1, at most
 *   the receiver's capacity.
 * - Special bytes C0 (FRAME_RESERVED), FD and FE inside the length, payload
 *   or checksum are sent as FD (FRAME_ESCAPE) followed by the byte XOR 20
 *   (FRAME_ESCAPE_XOR): C0 -> FD E0, FD -> FD DD, FE -> FD DE. FF is not
 *   special.
 * - The checksum is the sum modulo 256 of every wire byte after the start
 *   byte and before the checksum, escape bytes included and escaped bytes in
 *   their XORed wire form.
 * - On receipt only FE and FD are special: FE always starts a new frame, FD
 *   makes the next byte be taken XOR 20.
 *
 * Plain C, no allocation, no global state; the caller owns every buffer.
 * Every call handles exactly one byte or one chunk. An absent pointer or a
 * call in the wrong state answers FRAME_ERROR and changes nothing.
 */
#ifndef FRAMING_FRAME_CODEC_H
#define FRAMING_FRAME_CODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FRAME_START = 0xFE,    /* begins every frame, never escaped */
    FRAME_ESCAPE = 0xFD,   /* the next byte is taken XOR FRAME_ESCAPE_XOR */
    FRAME_RESERVED = 0xC0, /* escaped when sent, ordinary data when received */
    FRAME_ESCAPE_XOR = 0x20,
};

/* Codec states; the decoder uses 1..9, the encoder 1 and 10..21. */
typedef enum FrameState {
    FRAME_ST_NONE = 0,
    FRAME_ST_IDLE = 1,
    FRAME_ST_RX_LEN_LO = 2,
    FRAME_ST_RX_LEN_LO_ESC = 3,
    FRAME_ST_RX_LEN_HI = 4,
    FRAME_ST_RX_LEN_HI_ESC = 5,
    FRAME_ST_RX_DATA = 6,
    FRAME_ST_RX_DATA_ESC = 7,
    FRAME_ST_RX_CHECKSUM = 8,
    FRAME_ST_RX_CHECKSUM_ESC = 9,
    FRAME_ST_TX_FILLING = 10,
    FRAME_ST_TX_START = 11,
    FRAME_ST_TX_LEN_LO = 12,
    FRAME_ST_TX_LEN_HI = 13,
    FRAME_ST_TX_LEN_LO_ESC = 14,
    FRAME_ST_TX_DATA = 15,
    FRAME_ST_TX_LEN_HI_ESC = 16,
    FRAME_ST_TX_DATA_NEXT = 17,
    FRAME_ST_TX_DATA_ESC = 18,
    FRAME_ST_TX_CHECKSUM = 19,
    FRAME_ST_TX_DONE = 20,
    FRAME_ST_TX_CHECKSUM_ESC = 21
} FrameState;

/* Result codes of the codec operations. */
typedef enum FrameResult {
    FRAME_OK = 0,        /* context prepared, or byte ignored outside a frame */
    FRAME_RX_BUSY = 1,   /* byte consumed, frame in progress */
    FRAME_RX_DONE = 2,   /* byte completed a frame whose checksum matched */
    FRAME_TX_QUEUED = 3, /* payload bytes appended */
    FRAME_TX_MORE = 4,   /* one wire byte produced, more follow */
    FRAME_TX_DONE = 5,   /* the frame's last wire byte produced */
    FRAME_ERROR = 6      /* bad argument, wrong state, or framing error */
} FrameResult;

/* Whether the sender escapes byte b inside a frame. FF is deliberately not
 * special. */
static inline int frame_is_special(uint8_t b)
{
    return b == FRAME_RESERVED || b == FRAME_ESCAPE || b == FRAME_START;
}

typedef void (*FrameHook)(void);

/* One context serves one direction at a time. */
typedef struct FrameCodec {
    uint8_t *buffer;        /* caller's payload buffer (unstuffed bytes) */
    void *reserved0;        /* cleared by frame_init, otherwise unused */
    FrameHook byteHook;     /* optional decoder observer */
    void *reserved1;        /* cleared by frame_init, otherwise unused */
    FrameHook stateHook;    /* optional decoder observer, called first */
    uint16_t capacity;      /* size of buffer, 1..65535 */
    uint16_t payloadLength; /* tx: bytes appended; rx: announced length */
    uint16_t payloadIndex;  /* tx: fill / emit position; rx: bytes stored */
    uint16_t reserved2;     /* cleared with the counters, otherwise unused */
    int32_t state;          /* one FrameState value */
    uint8_t checksum;       /* running sum of the frame's wire bytes */
} FrameCodec;

/* Binds buffer (zeroed) and capacity, clears hooks and counters, goes idle.
 * Returns FRAME_OK, or FRAME_ERROR for an absent context or buffer or a
 * capacity of 0 (nothing changed). */
int frame_init(FrameCodec *codec, uint8_t *buffer, uint16_t capacity);

/* Clears counters and buffer, goes idle and calls stateHook; NULL ignored.
 * Returns nothing: a reset cannot fail. */
void frame_reset(FrameCodec *codec);

/* Appends count payload bytes; last != 0 closes the payload for sending.
 * Returns FRAME_TX_QUEUED, or FRAME_ERROR (nothing changed) for a chunk
 * that does not fit, an empty final payload and any call once the payload
 * was closed. */
int frame_append(FrameCodec *codec, const uint8_t *chunk, uint16_t count, uint8_t last);

/* Writes the next wire byte of the closed payload to *out (which must be
 * valid). Returns FRAME_TX_MORE, FRAME_TX_DONE with the frame's last byte,
 * or FRAME_ERROR (nothing written) before the payload was closed and after
 * the frame is complete. */
int frame_encode_byte(FrameCodec *codec, uint8_t *out);

/* Feeds one received wire byte. Returns FRAME_OK for a byte outside a frame
 * (ignored), FRAME_RX_BUSY while a frame is in progress, FRAME_RX_DONE when
 * the byte completed a frame whose checksum matched (the payload is then the
 * first payloadLength bytes of buffer until the next start byte), or
 * FRAME_ERROR. A start byte inside a frame restarts (FRAME_ERROR, new frame
 * begun, buffer kept); any other framing error, including an announced
 * length of 0 or over capacity (refused at the length's high byte), aborts
 * (FRAME_ERROR, buffer zeroed, idle until the next start byte).
 * Hooks: stateHook then byteHook (only when both are set) after each
 * FRAME_RX_BUSY byte, except an escape in front of the checksum, and after a
 * restart; stateHook alone after a completed frame and after an abort. */
int frame_decode_byte(FrameCodec *codec, uint8_t wireByte);

#ifdef __cplusplus
}
#endif

#endif /* FRAMING_FRAME_CODEC_H */
