# Runs after CPack has made the .deb. CPack gives the package's directories
# and members the modes that the builder's umask leaves, so the .deb is
# rebuilt from the same files by dpkg-deb, as Debian's own packages are: fixed
# modes, root as owner, members in name order, SOURCE_DATE_EPOCH's time for
# every member (dpkg-deb only brings later times down to it, and the date of
# a changelog entry can lie ahead of the build).
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND sh -c [[
    set -e
    umask 022
    tree=$(mktemp -d)
    dpkg-deb --raw-extract "$1" "$tree/deb"
    find "$tree/deb" -type d -exec chmod 0755 {} +
    chmod 0644 "$tree/deb/DEBIAN/control" "$tree/deb/DEBIAN/md5sums"
    find "$tree/deb" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group --build "$tree/deb" "$1" >/dev/null
    rm -rf "$tree"]] sh "${deb}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
