#include "services/pulse/monitor_source.h"

namespace halvo::pulse {

bool isMonitorOf(const SourceFacts& source, const SinkFacts& sink) {
    return sink.index != kNoIndex && source.index != kNoIndex && !sink.monitorSourceName.empty() &&
           source.name == sink.monitorSourceName && source.monitorOfSink == sink.index;
}

}  // namespace halvo::pulse
