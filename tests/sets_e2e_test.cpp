// The official set models as they circulate, through the program: each
// converts, with no statement of the shared library refused, to a scene
// whose structure matches its statistics. Those of seconds are heavy.

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/plinthex_process.h"
#include "tests/scene_check.h"
#include "tests/temp_folder.h"

namespace
{

namespace fs = std::filesystem;
using plinthex_process::Invocation;
using plinthex_process::Result;
using plinthex_process::RunPlinthex;

const std::string kShared = PLINTHEX_SHARED_DIR;

Result ConvertSet(const std::string& name, const std::vector<std::string>& options,
                  const TempFolder& folder)
{
    Invocation run;
    run.arguments = options;
    run.arguments.insert(run.arguments.end(), {kShared + "/ldraw", kShared + "/models/sets/" + name,
                                               folder / "scene.txt"});
    run.folder = folder / ".";
    return RunPlinthex(run);
}

void ExpectConverts(const std::string& name, const std::vector<std::string>& options = {})
{
    if (!fs::is_regular_file(kShared + "/models/sets/" + name))
        GTEST_SKIP() << "the shared set model " << name << " is not at " << kShared;
    const TempFolder folder;
    const Result result = ConvertSet(name, options, folder);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find("unreadable statement"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("not an LDraw statement"), std::string::npos) << result.err;
    const SceneCheck check = CheckScene(ReadFile(folder / "scene.txt"));
    ASSERT_TRUE(check.ok) << check.error;
    SceneCounts printed;
    ASSERT_TRUE(ParseStats(result.out.substr(result.out.find("Polygons")), printed));
    EXPECT_TRUE(printed == check.counts);
    EXPECT_GT(check.placedPolygons, 40000u);
}

}  // namespace

TEST(Sets, LegoTruck)
{
    ExpectConverts("10156-1 - LEGO Truck.mpd");
}
TEST(Sets, CrocodileCage)
{
    ExpectConverts("6246 - Crocodile Cage.mpd");
}
TEST(HeavySets, Walle)
{
    ExpectConverts("21303 - WALLE.mpd");
}
TEST(HeavySets, BlackSeasBarracuda)
{
    ExpectConverts("6285 - Black Seas Barracuda.mpd");
}
TEST(HeavySets, Snowspeeder)
{
    ExpectConverts("75144 - Snowspeeder.mpd");
}

// It places parts no library holds: without the option the run fails and
// names the option; with it the missing parts are left out.
TEST(Sets, TreasureChestWithMissingParts)
{
    const std::string name = "1788 - Treasure Chest.mpd";
    ExpectConverts(name, {"--skip-missing"});
    if (!fs::is_regular_file(kShared + "/models/sets/" + name))
        return;
    const TempFolder folder;
    const Result result = ConvertSet(name, {}, folder);
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.out.find("Error: cannot find file 3334H.DAT"), std::string::npos);
    EXPECT_NE(result.err.find("--skip-missing"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(folder / "scene.txt"));
}

TEST(HeavySets, DeathStarII)
{
    ExpectConverts("10143-1 - Death Star II.mpd");
}
TEST(HeavySets, MillenniumFalconUcs)
{
    ExpectConverts("10179-1 - Millennium Falcon - UCS.mpd");
}
