#include "services/common/monitor_source.h"

namespace halvo {

bool isMonitorOf(const SourceFacts& source, const SinkFacts& sink) {
    return sink.index != kNoIndex && source.index != kNoIndex && !sink.monitorSourceName.empty() &&
           source.name == sink.monitorSourceName && source.monitorOfSink == sink.index;
}

}  // namespace halvo
