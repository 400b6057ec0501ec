# The release signed by scripts/sign.sh with a throw-away certificate, checked,
# and run by Wine: registered with the Wine tests (their prefix fixture) when
# the package and the MSI are built and the signing tools are here.
if(NOT COMMAND ksv_wine_test OR NOT EXISTS "${KSV_MSI}")
    message(STATUS "Release tests: not registered (no Wine tests or no ${KSV_MSI})")
    return()
endif()
ksv_wine_test(release.sign ../release/sign_test.sh openssl osslsigncode wixl msibuild msiinfo msiextract)
if(TEST release.sign)
    set_tests_properties(release.sign PROPERTIES LABELS "release;wine")
endif()
