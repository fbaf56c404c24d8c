// What start-up discovery finds and what the user picks: companies, each with its database
// files ("applications"), and the run list of the repair page.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvor::wizard {

class CApplication {
  public:
    std::string AppID;    // module code: "DT", "GL", "SM", ...
    std::string AppPath;  // full file path
    std::string AppDesc;  // shown to the user
    std::string Flag;     // "Pending", "Done", "Failed" or empty
};

// An ordered collection keyed by AppID (keys compare without regard to case); positions are
// 1-based. No operation shows a message: failures are false results or no object.
class CApplications {
  public:
    bool Add(const std::string& p_sAppID, const std::string& p_sAppPath,
             const std::string& p_sAppDesc, const std::optional<std::string>& p_vFlag = {});
    std::shared_ptr<CApplication> Item(int vIndex) const;
    std::shared_ptr<CApplication> Item(const std::string& vIndex) const;
    int16_t Count() const { return static_cast<int16_t>(items_.size()); }
    bool Remove(int vIndex);
    bool Remove(const std::string& vIndex);

  private:
    std::vector<std::shared_ptr<CApplication>> items_;
};

class CCompany {
  public:
    std::string CompID;
    std::string CompanyName;
    bool AddApplication(const std::string& p_sAppID, const std::string& p_sPath,
                        const std::string& p_sAppDesc);
    std::shared_ptr<CApplications> GetApplications() const { return apps_; }

  private:
    std::shared_ptr<CApplications> apps_ = std::make_shared<CApplications>();
};

class CCompanies {
  public:
    bool Add(const std::string& p_sCompID, const std::string& p_sCompName);
    std::shared_ptr<CCompany> Item(int vIndex) const;
    std::shared_ptr<CCompany> Item(const std::string& vIndex) const;
    int16_t Count() const { return static_cast<int16_t>(items_.size()); }

  private:
    std::vector<std::shared_ptr<CCompany>> items_;
};

}  // namespace kelvor::wizard
