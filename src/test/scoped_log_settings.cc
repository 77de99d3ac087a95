#include "test/scoped_log_settings.h"

#include "test/test_util.h"

namespace testing_util {

namespace {

// The hooks are plain functions, so they find the collector here.
ScopedLogSettings* g_collector = nullptr;

}  // namespace

ScopedLogSettings::ScopedLogSettings(Collect collect)
    : saved_(base::GetLogSettings()) {
  if (collect == kNothing) return;
  g_collector = this;
  base::LogSettings& settings = base::GetLogSettings();
  switch (collect) {
    case kIntercepted:
      settings.intercept_hook = [](base::Severity, std::string_view text) {
        CollectText(text);
        return true;
      };
      break;
    case kFatal:
      settings.fatal_hook = CollectText;
      break;
    case kReported:
      settings.report_hook = CollectText;
      break;
    case kNothing:
      break;
  }
}

ScopedLogSettings::~ScopedLogSettings() {
  base::GetLogSettings() = saved_;
  if (g_collector == this) g_collector = nullptr;
}

void ScopedLogSettings::CollectText(std::string_view text) {
  if (g_collector)
    g_collector->texts_.push_back(MaskLogTimes(std::string(text)));
}

}  // namespace testing_util
