#include "refhost/HostFramework.h"

#include <string>

namespace host {

namespace {

std::string textOf(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

Param::Param(ParamKind kind, std::string name, std::string description, int32_t intValue,
             std::string textValue, jd::ParamHandler handler, void* context, bool readOnly)
    : kind_(kind),
      name_(std::move(name)),
      description_(std::move(description)),
      intValue_(intValue),
      text_(std::move(textValue)),
      handler_(handler),
      context_(context),
      readOnly_(readOnly) {}

const char* Param::name() {
    return name_.c_str();
}

int16_t Param::getInt16() {
    return static_cast<int16_t>(intValue_);
}

void Param::setInt32(int32_t value) {
    intValue_ = value;
}

std::string Param::valueText() const {
    return kind_ == ParamKind::String ? text_ : std::to_string(intValue_);
}

void Param::store(int32_t value) {
    intValue_ = kind_ == ParamKind::Int16 ? static_cast<int16_t>(value) : value;
}

void Param::storeText(const std::string& value) {
    text_ = value;
}

ParamList::ParamList(Framework* owner) : owner_(owner) {
    if (owner_ != nullptr) {
        ++owner_->created_;
        ++owner_->alive_;
    }
}

ParamList::~ParamList() {
    if (owner_ != nullptr) {
        --owner_->alive_;
    }
}

int ParamList::add(ParamKind kind, const char* name, const char* description, int32_t value,
                   const char* text, jd::ParamHandler handler, void* context, int readOnly) {
    params_.emplace_back(new Param(kind, textOf(name), textOf(description), value, textOf(text),
                                   handler, context, readOnly != 0));
    return 0;
}

int ParamList::addInt16(const char* name, const char* description, int16_t value,
                        jd::ParamHandler handler, void* context, int readOnly) {
    return add(ParamKind::Int16, name, description, value, nullptr, handler, context, readOnly);
}

int ParamList::addInt32(const char* name, const char* description, int32_t value,
                        jd::ParamHandler handler, void* context, int readOnly) {
    return add(ParamKind::Int32, name, description, value, nullptr, handler, context, readOnly);
}

int ParamList::addString(const char* name, const char* description, const char* value,
                         jd::ParamHandler handler, void* context, int readOnly) {
    return add(ParamKind::String, name, description, 0, value, handler, context, readOnly);
}

int ParamList::count() {
    return static_cast<int>(params_.size());
}

void ParamList::release() {
    delete this;
}

Param* ParamList::at(size_t index) const {
    return index < params_.size() ? params_[index].get() : nullptr;
}

Param* ParamList::find(const std::string& name) const {
    for (const auto& param : params_) {
        if (param->name() == name) {
            return param.get();
        }
    }
    return nullptr;
}

int ParamList::read(const std::string& name, Param** out) {
    Param* param = find(name);
    if (out != nullptr) {
        *out = param;
    }
    if (param == nullptr) {
        return -1;
    }
    return param->handler() != nullptr ? param->handler()(param, true, param->context()) : 0;
}

int ParamList::write(const std::string& name, int32_t value) {
    Param* param = find(name);
    if (param == nullptr) {
        return -1;
    }
    if (param->readOnly()) {
        return -2;
    }
    param->store(value);
    return param->handler() != nullptr ? param->handler()(param, false, param->context()) : 0;
}

int ParamList::writeText(const std::string& name, const std::string& value) {
    Param* param = find(name);
    if (param == nullptr) {
        return -1;
    }
    if (param->readOnly()) {
        return -2;
    }
    param->storeText(value);
    return param->handler() != nullptr ? param->handler()(param, false, param->context()) : 0;
}

Framework::Framework(std::string logDirectory) : logDirectory_(std::move(logDirectory)) {}

jd::IParamList* Framework::createParamList() {
    return new ParamList(this);
}

const char* Framework::logDirectory() {
    ++logDirectoryCalls_;
    return logDirectory_.c_str();
}

int DeviceList::addDevice(jd::IHwDev* device) {
    devices_.push_back(device);
    return 0;
}

jd::IHwDevHvSrc* DeviceList::source(size_t index) const {
    return index < devices_.size() ? static_cast<jd::IHwDevHvSrc*>(devices_[index]) : nullptr;
}

}  // namespace host
