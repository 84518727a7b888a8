// Built by the layers' tests only: a file of the tunnel layer, which may include its own layer and those
// below it. With CLIMB defined it also includes the app above it, and must then fail to compile.
#include "platform/SystemInfo.h"
#include "tunnel/TunnelState.h"
#ifdef CLIMB
#include "app/AppViewModel.h"
#endif

int layerProbe()
{
    return int(TunnelState().phase()) + int(SystemInfo::privateRuntimeFolder().size());
}
