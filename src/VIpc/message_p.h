// Frame reader internals shared by the message operators, the message server
// and the tests. Not installed.
#ifndef VORNLIB_VIPC_MESSAGE_P_H
#define VORNLIB_VIPC_MESSAGE_P_H

#include <QDataStream>

class VMessage;

namespace VMessageWire {

// Milliseconds a reader waits for each new piece of a frame.
constexpr int DEFAULT_WAIT_MS = 30000;

// Reads one frame as operator>> does, waiting at most waitMs for each part
// and, when deadlineMs >= 0, at most deadlineMs for the whole frame.
// Only VException leaves it; message is set only on success.
void readFrame(QDataStream& stream, VMessage*& message, int waitMs, qint64 deadlineMs);

// Decodes a frame body (class name and property values, version 10,
// big-endian) into a new VMessage. Accepts only the simple value kinds a
// property can hold and checks every length against the bytes left; throws
// VException before anything is created.
VMessage* decodeBody(const char* data, qint64 size);

} // namespace VMessageWire

#endif
