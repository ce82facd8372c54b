// The C++ side of the simulator harness: start, readiness, control, stop.
#include <gtest/gtest.h>

#include "support/cloudsim.h"
#include "support/roottree.h"

TEST(CloudSimHarness, StartsHandsOverItsCaAndAnswersControl) {
    RootTree root;
    CloudSim sim(root.path("/usrdata/cacert.pem"));
    EXPECT_GT(sim.port(), 0);
    EXPECT_NE(root.read("/usrdata/cacert.pem").find("BEGIN CERTIFICATE"), std::string::npos);
    sim.setScenario(R"({"token": "t1"})");
    sim.putFile("a.bin", std::string("x\0y", 3));
    sim.reset();
    CloudSimJson seen = sim.requests();
    ASSERT_TRUE(json_object_is_type(seen.get(), json_type_array));
    EXPECT_EQ(json_object_array_length(seen.get()), 0u);
}
