// User properties stored in the analytics database: kinds read back as
// written, counts, the public list, refusals and the table limit.

#include "analytics/storage/MSRDatabase.h"
#include "tests/storage/StorageTestSupport.h"

namespace {

MSRUserAttribute attribute(const std::string& origin, const std::string& name, MSRValue value, double time = 5) {
    auto made = MSRUserAttribute::initWithOrigin(origin, name, std::move(value), time);
    EXPECT_TRUE(made) << name;
    return made.value();
}

}  // namespace

using DatabaseUserAttributesTest = OpenDatabaseTest;

TEST_F(DatabaseUserAttributesTest, ValuesReadBackWithTheirKind) {
    struct Case {
        const char* name;
        MSRValue value;
    };
    const std::vector<Case> cases = {{"level", MSRValue("gold")},
                                     {"score", MSRValue(3.0)},
                                     {"count", MSRValue(int64_t{3})},
                                     {"big", MSRValue(int64_t{9007199254740993})}};
    for (const auto& c : cases) ASSERT_TRUE(database_->updateUserAttribute(attribute("app", c.name, c.value, 7.5), nullptr));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = database_->userAttributeWithName(c.name, nullptr);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->value(), c.value);  // of the same kind, too
        EXPECT_EQ(read->origin(), "app");
        EXPECT_EQ(read->lastSetTimestamp(), 7.5);
    }
    MSRError error;
    EXPECT_FALSE(database_->userAttributeWithName("absent", &error));
    EXPECT_EQ(error.code(), 0);
}

TEST_F(DatabaseUserAttributesTest, CountsAndPublicList) {
    for (const char* name : {"level", "_id", "_npa", "first_open_time", "za_hidden", "team"})
        ASSERT_TRUE(database_->updateUserAttribute(attribute("app", name, MSRValue("x")), nullptr));
    ASSERT_TRUE(database_->updateUserAttribute(attribute("auto", "_sid", MSRValue(int64_t{1})), nullptr));
    // Names beginning with "_" are not public; an underscore elsewhere is.
    EXPECT_EQ(database_->publicUserAttributeCount(nullptr), 4);
    EXPECT_EQ(database_->userAttributeCountForOrigin("app", nullptr), 6);
    EXPECT_EQ(database_->userAttributeCountForOrigin("auto", nullptr), 1);
    EXPECT_EQ(database_->containsUserAttributeWithName("_npa", nullptr), true);
    EXPECT_EQ(database_->containsUserAttributeWithName("npa", nullptr), false);

    auto all = database_->userAttributesIncludingInternal(true, nullptr);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 7u);
    auto reported = database_->userAttributesIncludingInternal(false, nullptr);
    ASSERT_TRUE(reported);
    std::vector<std::string> names;
    for (const auto& a : *reported) names.push_back(a.name());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"level", "team"}));
}

TEST_F(DatabaseUserAttributesTest, ReplaceDeleteAndTableLimit) {
    ASSERT_TRUE(database_->updateUserAttribute(attribute("app", "level", MSRValue("a")), nullptr));
    ASSERT_TRUE(database_->updateUserAttribute(attribute("app", "level", MSRValue(int64_t{2})), nullptr));
    EXPECT_EQ(database_->userAttributeWithName("level", nullptr)->value(), MSRValue(int64_t{2}));
    EXPECT_TRUE(database_->deleteUserAttributeWithName("level", nullptr));
    EXPECT_TRUE(database_->deleteUserAttributeWithName("level", nullptr));
    EXPECT_FALSE(database_->userAttributeWithName("level", nullptr));
    MSRError refused;
    EXPECT_FALSE(database_->updateUserAttribute(attribute("", "level", MSRValue("x")), &refused));
    EXPECT_EQ(refused.code(), 3);

    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!database_->updateUserAttribute(attribute("app", "p" + std::to_string(i), MSRValue("v")), nullptr))
                return false;
        }
        return true;
    }));
    MSRError error;
    EXPECT_FALSE(database_->updateUserAttribute(attribute("app", "one_more", MSRValue("v")), &error));
    EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
    EXPECT_TRUE(database_->updateUserAttribute(attribute("app", "p999", MSRValue("w")), nullptr));
}
