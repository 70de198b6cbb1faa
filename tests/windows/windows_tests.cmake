# The suite as the Windows build runs it, under Wine: everything that needs
# no window (the Windows build has none yet), and the Media Foundation back
# end as far as Wine's goes: reading recordings and decoding H.264 run
# here; recording (Wine has no MPEG-4 sink writer or H.264 encoder) and
# cameras (Wine lists none) are Windows-only and skip. The servers in
# these tests are the virtual rig's, built for Windows too; the tests in
# linux_peers_test.cpp talk to servers running as Linux programs instead
# (windows/with_linux_peers.sh starts them).
#
# Wine binds a UDP socket meant for one address to every address of its
# interface, so two simulated controllers on different loopback addresses
# cannot both hold DDP's port 4048 as they can on Linux and Windows: the
# tests that start one take turns (LOCK ddp-port).
add_library(pxo_xmodel_checker STATIC output/xmodel_checker.cpp output/xmodel_checker.h)
target_include_directories(pxo_xmodel_checker PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

pxo_add_test(platform net_address_test)
pxo_add_test(json json_test)
pxo_add_test(codec codec_test)

pxo_add_test(controller http_client_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(controller fpp_client_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(controller fpp_reconfigure_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(controller fpp_restore_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(controller restore_record_test)
pxo_add_test(controller wled_device_test DEPS pxo_sim)
pxo_add_test(sim fpp_simulator_test LOCK ddp-port)
pxo_add_test(sim raw_recording_test DEPS pxo_sim)

pxo_add_test(scan scan_plan_test)
pxo_add_test(scan ddp_sender_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(scan pattern_player_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(scan fpp_scan_config_test LOCK ddp-port DEPS pxo_sim)
pxo_add_test(scan settle_timing_test)
pxo_add_test(scan e131_source_test)

pxo_add_test(decode decode_accuracy_test DEPS pxo_sim)
pxo_add_test(decode id_geometry_test)
pxo_add_test(decode grid_snap_test)
pxo_add_test(decode nearest_test)
pxo_add_test(decode shake_test)
pxo_add_test(decode led_decoder_test DEPS pxo_sim)

pxo_add_test(recon3d linalg_test)
pxo_add_test(recon3d reconstruct_test DEPS pxo_sim)
pxo_add_test(recon3d solve_accuracy_test DEPS pxo_sim)

pxo_add_test(output model_writer_test DEPS pxo_xmodel_checker)
pxo_add_test(output scan_data_test)
pxo_add_test(output led_map_test)

pxo_add_test(capture rtsp_text_test)
pxo_add_test(capture decode_timeline_test)
pxo_add_test(capture h264_depacketizer_test)
pxo_add_test(capture onvif_text_test)
pxo_add_test(capture media_back_end_test)
pxo_add_test(capture mf_capture_test)
# Wine's Media Foundation sometimes crashes as a program that used it ends;
# windows/wine_media.sh tells that apart from a failure.
set_target_properties(capture_media_back_end_test capture_mf_capture_test
  PROPERTIES CROSSCOMPILING_EMULATOR
             ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_media.sh)
pxo_add_test(capture onvif_client_test LOCK ddp-port DEPS pxo_sim pixoria)

# The exports through the import library, and through LoadLibrary from a
# host program of plain C.
pxo_add_test(api exports_test DEPS pixoria)
add_executable(windows_host windows/windows_host.c)
target_include_directories(windows_host PRIVATE ${PROJECT_SOURCE_DIR}/src)
add_test(NAME api/WindowsHostLoadsTheDllAndGetsOneCallback
         COMMAND windows_host $<TARGET_FILE:pixoria>)
set_tests_properties(api/WindowsHostLoadsTheDllAndGetsOneCallback PROPERTIES
  TIMEOUT 60
  PASS_REGULAR_EXPRESSION
  "exports: 12 of 12\r?\nbackend status: 0\r?\ncameras: 0\r?\nentry point returned\r?\ncallbacks: 1\r?\nresult: \\(null\\)\r?\non the calling thread: no")
# The version resources Explorer and installers read.
add_executable(version_info windows/version_info.c)
target_link_libraries(version_info PRIVATE version)
add_test(NAME api/DllCarriesItsVersionResource
         COMMAND version_info $<TARGET_FILE:pixoria>)
add_test(NAME tools/CommandCarriesItsVersionResource
         COMMAND version_info $<TARGET_FILE:pixoria_tool>)
set_tests_properties(api/DllCarriesItsVersionResource PROPERTIES
  PASS_REGULAR_EXPRESSION
  "ProductName: Pixoria\r?\nProductVersion: ${PROJECT_VERSION}\r?\nFileDescription: Pixoria library[^\r\n]*\r?\nFileVersion: ${PROJECT_VERSION}.0")
set_tests_properties(tools/CommandCarriesItsVersionResource PROPERTIES
  PASS_REGULAR_EXPRESSION
  "ProductName: Pixoria\r?\nProductVersion: ${PROJECT_VERSION}\r?\nFileDescription: Pixoria command-line tool\r?\nFileVersion: ${PROJECT_VERSION}.0")
add_test(NAME api/DllImportsOnlySystemDllsAndExportsOnlyPxo
         COMMAND ${CMAKE_COMMAND}
                 -DOBJDUMP=${CMAKE_OBJDUMP}
                 -DFILE=$<TARGET_FILE:pixoria>
                 -DHEADER=${PROJECT_SOURCE_DIR}/src/api/pixoria.h
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll.cmake)
add_test(NAME api/CommandImportsOnlySystemDlls
         COMMAND ${CMAKE_COMMAND}
                 -DOBJDUMP=${CMAKE_OBJDUMP}
                 -DFILE=$<TARGET_FILE:pixoria_tool>
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll.cmake)

# A Windows client against Linux servers: the controller, its DDP input
# and a network camera (GStreamer's RTSP server). Needs the Linux build's
# fpp-sim, given as PXO_LINUX_BUILD to the configure.
set(PXO_LINUX_BUILD "${PROJECT_SOURCE_DIR}/build" CACHE PATH
    "A Linux build of this tree, for the servers of the cross tests")
add_executable(windows_linux_peers_test windows/linux_peers_test.cpp)
target_link_libraries(windows_linux_peers_test PRIVATE pxo_sim GTest::gtest_main)
target_include_directories(windows_linux_peers_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME windows/AgainstLinuxServers
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/with_linux_peers.sh
                 ${PXO_LINUX_BUILD}/sim/fpp-sim
                 ${CMAKE_CURRENT_SOURCE_DIR}/peers/gst_rtsp_server.py
                 $<TARGET_FILE:windows_linux_peers_test>)
set_tests_properties(windows/AgainstLinuxServers PROPERTIES
  TIMEOUT 180 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)

# Discovery multicasts: in a network namespace of its own, with a Wine
# server of its own started inside it (Wine makes its sockets there).
add_executable(capture_onvif_discovery_test capture/onvif_discovery_test.cpp)
target_link_libraries(capture_onvif_discovery_test PRIVATE pxo_sim pixoria
                                                           GTest::gtest_main iphlpapi)
target_compile_definitions(capture_onvif_discovery_test PRIVATE
                           PXO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME capture/OnvifDiscoveryInAFreshNetworkNamespace
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/capture/in_fresh_netns.sh
                 ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_in_namespace.sh
                 $<TARGET_FILE:capture_onvif_discovery_test>)
set_tests_properties(capture/OnvifDiscoveryInAFreshNetworkNamespace
                     PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)

# The Win32 scan window, walked through on the rig under Wine and Xvfb
# (screenshots in the output folder).
add_test(NAME ui/Win32ScanWindowFromTheCommandUnderWine
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/scan_window_wine.sh command
                 $<TARGET_FILE:pixoria_tool>
                 ${CMAKE_CURRENT_BINARY_DIR}/scan-window-command)
# From the DLL through the host program, on the Linux rig's network camera.
add_test(NAME ui/Win32ScanWindowFromTheDllHostUnderWine
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/scan_window_wine.sh host
                 ${PXO_LINUX_BUILD}/tools/pixoria
                 $<TARGET_FILE:windows_host> $<TARGET_FILE:pixoria>
                 ${CMAKE_CURRENT_BINARY_DIR}/scan-window-host)
# Closed with the close box's command before anything happened.
add_test(NAME ui/Win32ScanWindowClosedCallsBackOnceWithNothing
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/scan_window_wine.sh close
                 $<TARGET_FILE:windows_host> $<TARGET_FILE:pixoria>
                 ${CMAKE_CURRENT_BINARY_DIR}/scan-window-close)
set_tests_properties(ui/Win32ScanWindowFromTheCommandUnderWine
                     ui/Win32ScanWindowFromTheDllHostUnderWine
                     ui/Win32ScanWindowClosedCallsBackOnceWithNothing PROPERTIES
  TIMEOUT 300 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
