#include "services/pulse/pulse_queries.h"

#include <pulse/error.h>

#include "platform/thread_check.h"
#include "services/pulse/pulse_context.h"

namespace halvo::pulse {

namespace {

// Only thread checks read it, and release builds compile them away.
[[maybe_unused]] constexpr const char* kAnswersOnLoopThread = "answers run on the loop's thread";

// Why a monitor look-up found nothing: the server still there means there is no such monitor.
Error noMonitor(const pa_context* context) {
    return Error{pa_context_get_state(context) == PA_CONTEXT_READY ? kNoMonitorSource
                                                                   : describeFailure(context)};
}

bool volumeIsZero(const pa_cvolume& volume) {
    return pa_cvolume_valid(&volume) != 0 && pa_cvolume_max(&volume) == PA_VOLUME_MUTED;
}

}  // namespace

std::string describeFailure(const pa_context* context) {
    return pa_strerror(context != nullptr ? pa_context_errno(context) : PA_ERR_INTERNAL);
}

void OperationRef::reset(pa_operation* operation) {
    HALVO_CHECK_THREAD(loop_.holdsLock(), "requests are sent and cancelled with the lock held");
    if (operation_ != nullptr) {
        if (pa_operation_get_state(operation_) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation_);
        }
        pa_operation_unref(operation_);
    }
    operation_ = operation;
}

void DefaultSinkQuery::onServerInfo(pa_context* context, const pa_server_info* info,
                                    void* userdata) {
    auto* query = static_cast<DefaultSinkQuery*>(userdata);
    HALVO_CHECK_THREAD(query->operation_.loop().isLoopThread(), kAnswersOnLoopThread);
    if (info == nullptr) {
        callOnce(query->answer_, Expected<std::string>(Error{describeFailure(context)}));
        return;
    }
    callOnce(
        query->answer_,
        Expected<std::string>(info->default_sink_name != nullptr ? info->default_sink_name : ""));
}

std::unique_ptr<DefaultSinkQuery> PulseContext::queryDefaultSink(DefaultSinkQuery::Answer answer) {
    std::unique_ptr<DefaultSinkQuery> query(new DefaultSinkQuery(*loop_, std::move(answer)));
    query->operation_.reset(
        pa_context_get_server_info(context_, &DefaultSinkQuery::onServerInfo, query.get()));
    if (!query->operation_.sent()) {
        return nullptr;
    }
    return query;
}

std::unique_ptr<MonitorQuery> PulseContext::queryMonitorSource(const std::string& sink,
                                                               MonitorQuery::Answer answer) {
    std::unique_ptr<MonitorQuery> query(new MonitorQuery(*loop_, std::move(answer)));
    query->sinkOperation_.reset(pa_context_get_sink_info_by_name(
        context_, sink.c_str(), &MonitorQuery::onSinkInfo, query.get()));
    if (!query->sinkOperation_.sent()) {
        return nullptr;
    }
    return query;
}

std::unique_ptr<SilenceQuery> PulseContext::querySilenceReasons(const MonitorSource& monitor,
                                                                SilenceQuery::Answer answer) {
    std::unique_ptr<SilenceQuery> query(new SilenceQuery(*loop_, monitor.index, std::move(answer)));
    query->sinkOperation_.reset(pa_context_get_sink_info_by_index(
        context_, monitor.sinkIndex, &SilenceQuery::onSinkInfo, query.get()));
    if (!query->sinkOperation_.sent()) {
        return nullptr;
    }
    return query;
}

void MonitorQuery::onSinkInfo(pa_context* context, const pa_sink_info* info, int endOfList,
                              void* userdata) {
    auto* query = static_cast<MonitorQuery*>(userdata);
    HALVO_CHECK_THREAD(query->sinkOperation_.loop().isLoopThread(), kAnswersOnLoopThread);
    if (endOfList == 0) {
        query->sink_.index = info->index;
        query->sink_.monitorSourceName =
            info->monitor_source_name != nullptr ? info->monitor_source_name : "";
        return;
    }
    if (query->sink_.monitorSourceName.empty()) {
        callOnce(query->answer_, Expected<MonitorSource>(noMonitor(context)));
        return;
    }
    query->sourceOperation_.reset(pa_context_get_source_info_by_name(
        context, query->sink_.monitorSourceName.c_str(), &MonitorQuery::onSourceInfo, query));
    if (!query->sourceOperation_.sent()) {
        callOnce(query->answer_, Expected<MonitorSource>(noMonitor(context)));
    }
}

void MonitorQuery::onSourceInfo(pa_context* context, const pa_source_info* info, int endOfList,
                                void* userdata) {
    auto* query = static_cast<MonitorQuery*>(userdata);
    HALVO_CHECK_THREAD(query->sinkOperation_.loop().isLoopThread(), kAnswersOnLoopThread);
    if (endOfList == 0) {
        query->source_ = SourceFacts{info->index, info->name != nullptr ? info->name : "",
                                     info->monitor_of_sink};
        query->channels_ = info->sample_spec.channels;
        return;
    }
    if (!query->source_ || !isMonitorOf(*query->source_, query->sink_)) {
        callOnce(query->answer_, Expected<MonitorSource>(noMonitor(context)));
        return;
    }
    callOnce(query->answer_,
             Expected<MonitorSource>(MonitorSource{query->source_->index, query->source_->name,
                                                   query->sink_.index, query->channels_}));
}

SilenceQuery* SilenceQuery::queryOf(pa_context* context, int endOfList, void* userdata) {
    auto* query = static_cast<SilenceQuery*>(userdata);
    HALVO_CHECK_THREAD(query->sinkOperation_.loop().isLoopThread(), kAnswersOnLoopThread);
    if (endOfList < 0) {
        callOnce(query->answer_, Expected<SilenceReasons>(Error{describeFailure(context)}));
        return nullptr;
    }
    return query;
}

void SilenceQuery::onSinkInfo(pa_context* context, const pa_sink_info* info, int endOfList,
                              void* userdata) {
    auto* query = queryOf(context, endOfList, userdata);
    if (query == nullptr) {
        return;
    }
    if (endOfList == 0) {
        query->reasons_.outputMuted = info->mute != 0;
        query->reasons_.outputVolumeZero = volumeIsZero(info->volume);
        query->reasons_.outputSuspended = info->state == PA_SINK_SUSPENDED;
        return;
    }
    query->sourceOperation_.reset(pa_context_get_source_info_by_index(
        context, query->sourceIndex_, &SilenceQuery::onSourceInfo, query));
    if (!query->sourceOperation_.sent()) {
        callOnce(query->answer_, Expected<SilenceReasons>(Error{describeFailure(context)}));
    }
}

void SilenceQuery::onSourceInfo(pa_context* context, const pa_source_info* info, int endOfList,
                                void* userdata) {
    auto* query = queryOf(context, endOfList, userdata);
    if (query == nullptr) {
        return;
    }
    if (endOfList == 0) {
        query->reasons_.monitorMuted = info->mute != 0;
        query->reasons_.monitorVolumeZero = volumeIsZero(info->volume);
        return;
    }
    callOnce(query->answer_, Expected<SilenceReasons>(query->reasons_));
}

}  // namespace halvo::pulse
