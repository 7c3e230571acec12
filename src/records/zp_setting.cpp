#include "zephyl/zp_setting.h"

#include "zephyl/zp_version.h"

ZPHttpPolicy::ZPHttpPolicy() : userAgent("libzephyl/" ZEPHYL_VERSION_STRING) {}
ZPHttpPolicy::ZPHttpPolicy(const ZPHttpPolicy&) = default;
ZPHttpPolicy::ZPHttpPolicy(ZPHttpPolicy&&) noexcept = default;
ZPHttpPolicy& ZPHttpPolicy::operator=(const ZPHttpPolicy&) = default;
ZPHttpPolicy& ZPHttpPolicy::operator=(ZPHttpPolicy&&) noexcept = default;
ZPHttpPolicy::~ZPHttpPolicy() = default;

ZPSetting::ZPSetting(const std::string& rootDir, const std::string& saveDirPath)
    : saveDirPath(saveDirPath), rootDir(rootDir) {}
ZPSetting::ZPSetting(const ZPSetting&) = default;
ZPSetting::ZPSetting(ZPSetting&&) noexcept = default;
ZPSetting& ZPSetting::operator=(const ZPSetting&) = default;
ZPSetting& ZPSetting::operator=(ZPSetting&&) noexcept = default;
ZPSetting::~ZPSetting() = default;
