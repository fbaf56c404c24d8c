// Companies, their database files and the run list: keyed, ordered collections that report
// failure by their results, never by a message.
#include <gtest/gtest.h>

#include "model.h"

using namespace kelvor::wizard;

TEST(CApplicationsTest, KeepsEachPropertyWhereItBelongsAndTheFlagOnlyWhenGiven) {
    CApplications apps;
    EXPECT_EQ(apps.Count(), 0);
    EXPECT_TRUE(apps.Add("DT", "/data/C01/DT.mdb", "Kelvor Primary Database"));
    EXPECT_TRUE(apps.Add("GL", "/data/C01/GL.mdb", "General Ledger Database", "Pending"));
    ASSERT_EQ(apps.Count(), 2);

    auto dt = apps.Item("DT");
    ASSERT_TRUE(dt);
    EXPECT_EQ(dt->AppID, "DT");
    EXPECT_EQ(dt->AppPath, "/data/C01/DT.mdb");
    EXPECT_EQ(dt->AppDesc, "Kelvor Primary Database");
    EXPECT_EQ(dt->Flag, "");
    EXPECT_EQ(apps.Item("GL")->Flag, "Pending");
}

TEST(CApplicationsTest, OneEntryPerCodeInInsertionOrder) {
    CApplications apps;
    ASSERT_TRUE(apps.Add("SM", "/data/SYSSM1.mdb", "System Manager Database"));
    ASSERT_TRUE(apps.Add("CA", "/data/C01/CA.mdb", ""));
    ASSERT_TRUE(apps.Add("Kelvor", "/opt/kelvor/Kelvor4PE.mde", "Kelvor Program Database"));

    // A second "SM" is refused and the first one stays as it was, whatever the case.
    EXPECT_FALSE(apps.Add("SM", "/elsewhere/SYSSM1.mdb", "Another", "Pending"));
    EXPECT_FALSE(apps.Add("sm", "/elsewhere/SYSSM1.mdb", "Another"));
    EXPECT_EQ(apps.Count(), 3);
    EXPECT_EQ(apps.Item("SM")->AppPath, "/data/SYSSM1.mdb");
    EXPECT_EQ(apps.Item("SM")->Flag, "");

    // Positions are 1-based and follow the order of adding, not the codes.
    EXPECT_EQ(apps.Item(1)->AppID, "SM");
    EXPECT_EQ(apps.Item(2)->AppID, "CA");
    EXPECT_EQ(apps.Item(3)->AppID, "Kelvor");
    EXPECT_EQ(apps.Item("kelvor"), apps.Item(3));
    // Nothing there is no object, not an error.
    EXPECT_FALSE(apps.Item(0));
    EXPECT_FALSE(apps.Item(4));
    EXPECT_FALSE(apps.Item(-1));
    EXPECT_FALSE(apps.Item("GL"));

    // Removing closes the gap; removing what is not there is a false result.
    EXPECT_TRUE(apps.Remove(1));
    EXPECT_EQ(apps.Item(1)->AppID, "CA");
    EXPECT_TRUE(apps.Remove("Kelvor"));
    EXPECT_EQ(apps.Count(), 1);
    EXPECT_FALSE(apps.Remove("Kelvor"));
    EXPECT_FALSE(apps.Remove(2));
    EXPECT_FALSE(apps.Remove(0));
    EXPECT_EQ(apps.Count(), 1);
    // A removed code can be added again.
    EXPECT_TRUE(apps.Add("SM", "/data/SYSSM1.mdb", "System Manager Database"));
    EXPECT_EQ(apps.Item(2)->AppID, "SM");
}

TEST(CCompanyTest, ItsListIsOneObjectAndAddApplicationLeavesTheFlagEmpty) {
    CCompany company;
    company.CompID = "C01";
    company.CompanyName = "Harbor Trading Ltd";
    EXPECT_TRUE(company.AddApplication("DT", "/data/C01/DT.mdb", "Kelvor Primary Database"));
    EXPECT_FALSE(company.AddApplication("DT", "/data/C01/DT2.mdb", "Second"));

    auto list = company.GetApplications();
    ASSERT_TRUE(list);
    EXPECT_EQ(list, company.GetApplications());
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->Item(1)->AppPath, "/data/C01/DT.mdb");
    EXPECT_EQ(list->Item(1)->Flag, "");
    // What is added through the list shows in the company.
    list->Add("GL", "/data/C01/GL.mdb", "General Ledger Database");
    EXPECT_EQ(company.GetApplications()->Count(), 2);

    // Each company has a list of its own.
    CCompany other;
    EXPECT_EQ(other.GetApplications()->Count(), 0);
}

TEST(CCompaniesTest, KeyedByCodeInInsertionOrder) {
    CCompanies companies;
    EXPECT_EQ(companies.Count(), 0);
    EXPECT_FALSE(companies.Item(1));
    ASSERT_TRUE(companies.Add("C02", "Cedar Foods Inc"));
    ASSERT_TRUE(companies.Add("C01", "Harbor Trading Ltd"));
    EXPECT_FALSE(companies.Add("C02", "Someone Else"));
    EXPECT_FALSE(companies.Add("c01", "Someone Else"));
    ASSERT_EQ(companies.Count(), 2);

    EXPECT_EQ(companies.Item(1)->CompID, "C02");
    EXPECT_EQ(companies.Item(1)->CompanyName, "Cedar Foods Inc");
    EXPECT_EQ(companies.Item("C01")->CompanyName, "Harbor Trading Ltd");
    EXPECT_EQ(companies.Item("C01"), companies.Item(2));
    EXPECT_FALSE(companies.Item(3));
    EXPECT_FALSE(companies.Item("SM"));

    // A company's databases stay with it.
    companies.Item("C01")->AddApplication("DT", "/data/C01/DT.mdb", "Kelvor Primary Database");
    EXPECT_EQ(companies.Item(2)->GetApplications()->Count(), 1);
    EXPECT_EQ(companies.Item(1)->GetApplications()->Count(), 0);
}
