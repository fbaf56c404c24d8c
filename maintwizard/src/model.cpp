#include "model.h"

#include <cctype>

namespace kelvor::wizard {

namespace {

bool sameKey(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

template <typename T, typename Key>
std::shared_ptr<T> byKey(const std::vector<std::shared_ptr<T>>& items, const std::string& key,
                         Key keyOf) {
    for (const auto& i : items)
        if (sameKey(keyOf(*i), key)) return i;
    return nullptr;
}

template <typename T>
std::shared_ptr<T> byPosition(const std::vector<std::shared_ptr<T>>& items, int position) {
    if (position < 1 || position > static_cast<int>(items.size())) return nullptr;
    return items[static_cast<size_t>(position - 1)];
}

}  // namespace

bool CApplications::Add(const std::string& p_sAppID, const std::string& p_sAppPath,
                        const std::string& p_sAppDesc, const std::optional<std::string>& p_vFlag) {
    if (Item(p_sAppID)) return false;
    auto a = std::make_shared<CApplication>();
    a->AppID = p_sAppID;
    a->AppDesc = p_sAppDesc;
    a->AppPath = p_sAppPath;
    a->Flag = p_vFlag.value_or("");
    items_.push_back(std::move(a));
    return true;
}

std::shared_ptr<CApplication> CApplications::Item(int vIndex) const {
    return byPosition(items_, vIndex);
}

std::shared_ptr<CApplication> CApplications::Item(const std::string& vIndex) const {
    return byKey(items_, vIndex, [](const CApplication& a) { return a.AppID; });
}

bool CApplications::Remove(int vIndex) {
    if (vIndex < 1 || vIndex > Count()) return false;
    items_.erase(items_.begin() + (vIndex - 1));
    return true;
}

bool CApplications::Remove(const std::string& vIndex) {
    for (size_t i = 0; i < items_.size(); ++i) {
        if (sameKey(items_[i]->AppID, vIndex)) {
            items_.erase(items_.begin() + static_cast<long>(i));
            return true;
        }
    }
    return false;
}

bool CCompany::AddApplication(const std::string& p_sAppID, const std::string& p_sPath,
                              const std::string& p_sAppDesc) {
    return apps_->Add(p_sAppID, p_sPath, p_sAppDesc);
}

bool CCompanies::Add(const std::string& p_sCompID, const std::string& p_sCompName) {
    if (Item(p_sCompID)) return false;
    auto c = std::make_shared<CCompany>();
    c->CompID = p_sCompID;
    c->CompanyName = p_sCompName;
    items_.push_back(std::move(c));
    return true;
}

std::shared_ptr<CCompany> CCompanies::Item(int vIndex) const {
    return byPosition(items_, vIndex);
}

std::shared_ptr<CCompany> CCompanies::Item(const std::string& vIndex) const {
    return byKey(items_, vIndex, [](const CCompany& c) { return c.CompID; });
}

}  // namespace kelvor::wizard
