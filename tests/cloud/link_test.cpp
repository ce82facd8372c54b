// Whole sync runs through the link simulator: slow, stalling and dropping
// links between the sync code and the cloud simulator.
#include <fstream>
#include <iterator>

#include "cloud/camapi.h"
#include "cloud/sync.h"
#include "cloud_fixture.h"
#include "support/linksim.h"

namespace {

class OverLink : public CloudTest {
protected:
    std::string uploadedBytes(const std::string& name) {
        std::ifstream in(sim().uploaded(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // The daemon's host setting names the relay once the link is up.
    void useHost() {
        snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", sim().hostPort().c_str());
    }
};

TEST_F(OverLink, PicturesCrossAThreeBarLinkWholeAndTheLinkCountsThem) {
    LinkSim link(sim(), "three-bars");
    useHost();
    std::string a = picture("A.JPG", 20000, 1700000001);
    std::string b = picture("B.JPG", 30000, 1700000002);
    EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(uploadedBytes("A.JPG"), a);
    EXPECT_EQ(uploadedBytes("B.JPG"), b);
    EXPECT_FALSE(inTransmit("A.JPG"));
    EXPECT_FALSE(inTransmit("B.JPG"));
    // Every API byte went over the link: the uploads and more (TLS, the PUTs).
    EXPECT_GT(link.counter("bytes_up"), 50000);
    EXPECT_GE(link.counter("connections"), 1);
    EXPECT_EQ(link.counter("resets"), 0);
}

}  // namespace
