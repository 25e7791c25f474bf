#include "TaskBlock.h"

#include "CLogWriter.h"

void HandBack(TaskBlock& block, CLogWriter& logger) {
    logger.Log(CLogWriter::LogDebug, QStringLiteral("before SendMessage"));
    TaskResultSink* sink = block.sink;
    if (sink)
        sink->taskFinished(std::move(block));
    logger.Log(CLogWriter::LogDebug, QStringLiteral("after SendMessage"));
    logger.Log(CLogWriter::LogDebug, QStringLiteral("dwResult : %1").arg(sink ? 1 : 0, 0, 16));
}
