#include "qmp/channel.hpp"

namespace brindle::qmp {

void close_channel(QmpChannel& channel) {
  channel.reader.reset();
  channel.writer.reset();
}

}  // namespace brindle::qmp
