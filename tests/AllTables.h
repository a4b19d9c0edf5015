// Type lists of every table's binding and every facade, for typed tests.
#pragma once

#include <gtest/gtest.h>

#include "DivUdurezevudoZE/AllFacades.h"

namespace divu::test {

using AllBindings =
    testing::Types<YLVolume, YLPhysicalVolume, YLPhysicalDevice, YLMountPoint, YLDevice, YLPolicy, YLScratchPool,
                   YLScratchVolume, YLSnapEngineInfo, YLVolSnapParams, YLSubclientYLVolumes, YLEVHistoryName, YLFile,
                   YLApplicationDirs, YLUserApplicationDef, YLFLRConsistencyPoint, YLFLRSnapshot, YLFLRSnapPair,
                   YLFLRSnapMountPoint, YLFLRSnapNetworkShare, YLFLRApplication, JMBkpStats, JMJobDataLink,
                   YLJobVolumeHistory>;

}  // namespace divu::test
