#include "libraryLogs.h"

#include <QLoggingCategory>
#include <QString>

#include "logSink.h"
#include "storeLog.h"

namespace {

Q_LOGGING_CATEGORY(senderLog, "velarto.sender")
Q_LOGGING_CATEGORY(storeLog, "velarto.store")

QString fromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void routeLibraryLogsToQt() {
  sonicsend::setLogSink([](sonicsend::LogLevel level, std::string_view text) {
    switch (level) {
      case sonicsend::LogLevel::info:
        qCInfo(senderLog).noquote() << fromUtf8(text);
        break;
      case sonicsend::LogLevel::warning:
        qCWarning(senderLog).noquote() << fromUtf8(text);
        break;
      case sonicsend::LogLevel::error:
        qCCritical(senderLog).noquote() << fromUtf8(text);
        break;
    }
  });
  velarto::store::setLogSink([](velarto::store::LogLevel level, std::string_view text) {
    if (level == velarto::store::LogLevel::info) {
      qCInfo(storeLog).noquote() << fromUtf8(text);
    } else {
      qCWarning(storeLog).noquote() << fromUtf8(text);
    }
  });
}
