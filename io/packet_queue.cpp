#include "io/packet_queue.h"

// The two queue forms are built once here rather than in every demuxer that includes the header.
template class KPacketQueueT<KPacket>;
template class KPacketQueueT<KPacket2>;
