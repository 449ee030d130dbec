# The service's sources, by subsystem: read by the service's build and by the
# fuzz targets' project (tests/fuzz/targets). ZORVI_SRC is the folder of this file.
set(ZORVI_SRC ${CMAKE_CURRENT_LIST_DIR})

# What the client shares with the service, and all it takes of it: the
# protocol's constants (protocol/ClientProtocol.h, a header), the descriptor
# owner and the datagram send.
set(ZORVI_SHARED_SOURCES
    ${ZORVI_SRC}/UnixSocket/Datagram.cpp
    ${ZORVI_SRC}/UnixSocket/FileDescriptor.cpp)

# Everything else but the program's entry point (launcher/main.cpp).
set(ZORVI_CORE_SOURCES
    ${ZORVI_SRC}/UnixSocket/Pair.cpp
    ${ZORVI_SRC}/UnixSocket/Server.cpp
    ${ZORVI_SRC}/UnixSocket/Socket.cpp
    ${ZORVI_SRC}/backend/Backend.cpp
    ${ZORVI_SRC}/backend/ProcedureGuard.cpp
    ${ZORVI_SRC}/frontend/Frontend.cpp
    ${ZORVI_SRC}/frontend/Privileges.cpp
    ${ZORVI_SRC}/installer/DpkgRepair.cpp
    ${ZORVI_SRC}/installer/DpkgState.cpp
    ${ZORVI_SRC}/installer/Upgrader.cpp
    ${ZORVI_SRC}/installer/erase/Step.cpp
    ${ZORVI_SRC}/installer/migration/Step.cpp
    ${ZORVI_SRC}/launcher/Launcher.cpp
    ${ZORVI_SRC}/launcher/Process.cpp
    ${ZORVI_SRC}/launcher/Wait.cpp
    ${ZORVI_SRC}/launcher/Worker.cpp
    ${ZORVI_SRC}/output/Buffer.cpp
    ${ZORVI_SRC}/output/print.cpp
    ${ZORVI_SRC}/poll/Group.cpp
    ${ZORVI_SRC}/poll/Handler.cpp
    ${ZORVI_SRC}/poll/StopAwarePoll.cpp
    ${ZORVI_SRC}/protocol/Message.cpp
    ${ZORVI_SRC}/protocol/Request.cpp
    ${ZORVI_SRC}/protocol/Status.cpp
    ${ZORVI_SRC}/util/Clock.cpp
    ${ZORVI_SRC}/util/FileUtil.cpp)
