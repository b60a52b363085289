# Installation: `cmake --install build [--prefix P]`.
#
#   ORVANTA_CGI_DIR/orvanta.cgi      set-user-ID root, group ORVANTA_WEB_GROUP,
#                                    mode 4750: only the web server's group
#                                    may run it
#   ORVANTA_CGI_DIR/cfg_file.cfg     the settings, root's, mode 0644; an
#                                    existing file is kept, the sample is
#                                    installed beside it as cfg_file.cfg.sample
#   sbin/orvanta-operator            root's tool for the operators file, which
#                                    it finds through the installed
#                                    ORVANTA_CGI_DIR/cfg_file.cfg
#   ORVANTA_MENU_DIR/index.html      the EUC-JP menu page
#   ORVANTA_MODULE_DIR/orvanta-ldap.so
#                                    the directory store, root's, mode 0644:
#                                    the program loads it with ACCOUNTS=ldap
#                                    from this path, fixed when it is built
#                                    (below the configured prefix; --prefix
#                                    at install time does not move it), and
#                                    only when root alone can replace it or
#                                    a directory above it
#
# With -DORVANTA_INSTALL_CONFIG=OFF neither cfg_file.cfg nor the sample is
# installed: a package ships its own settings in /etc and a link to them.
#
# The program reads cfg_file.cfg from, and appends orvanta.log to, the
# directory it runs in, which web servers make the directory of the program:
# ORVANTA_CGI_DIR must therefore be writable by root alone, and must not be
# served as static files. The menu page lives apart from it and is mapped to
# the same URL directory as the program by the web server (see
# docs/running.md).
#
# Ownership and the set-user-ID bit need root. Run as another user (a
# packaging run with DESTDIR, say), the files are installed with ordinary
# modes and a warning says what remains to be done as root.

set(ORVANTA_CGI_DIR "lib/cgi-bin/orvanta" CACHE PATH
    "Directory of orvanta.cgi, its cfg_file.cfg and orvanta.log (relative: below the install prefix)")
set(ORVANTA_MENU_DIR "share/orvanta/www" CACHE PATH
    "Directory of the menu page index.html (relative: below the install prefix)")
option(ORVANTA_INSTALL_CONFIG "Install cfg_file.cfg and its sample beside the program" ON)

if(IS_ABSOLUTE "${ORVANTA_CGI_DIR}")
  set(orvanta_installed_config "${ORVANTA_CGI_DIR}/cfg_file.cfg")
else()
  set(orvanta_installed_config "${CMAKE_INSTALL_PREFIX}/${ORVANTA_CGI_DIR}/cfg_file.cfg")
endif()
target_compile_definitions(orvanta-operator PRIVATE
  ORVANTA_CONFIG_PATH="${orvanta_installed_config}")
install(TARGETS orvanta-operator RUNTIME DESTINATION sbin)

install(TARGETS orvanta.cgi
        RUNTIME DESTINATION ${ORVANTA_CGI_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
if(ORVANTA_INSTALL_CONFIG)
  install(FILES ${CMAKE_SOURCE_DIR}/config/cfg_file.cfg.sample
          DESTINATION ${ORVANTA_CGI_DIR}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
install(TARGETS orvanta-ldap
        LIBRARY DESTINATION ${ORVANTA_MODULE_FULL_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${CMAKE_BINARY_DIR}/index.html
        DESTINATION ${ORVANTA_MENU_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Runs at install time, after the files above are in place: first the values
# known now, then the steps, which read the install prefix and DESTDIR of
# that run.
install(CODE "
  set(orvanta_web_group \"${ORVANTA_WEB_GROUP}\")
  set(orvanta_cgi_dir \"${ORVANTA_CGI_DIR}\")
  set(orvanta_module_dir \"${ORVANTA_MODULE_FULL_DIR}\")
  set(orvanta_install_config ${ORVANTA_INSTALL_CONFIG})
")
install(CODE [[
  if(NOT IS_ABSOLUTE "${orvanta_cgi_dir}")
    set(orvanta_cgi_dir "${CMAKE_INSTALL_PREFIX}/${orvanta_cgi_dir}")
  endif()
  set(orvanta_cgi_dir "$ENV{DESTDIR}${orvanta_cgi_dir}")
  set(orvanta_module_dir "$ENV{DESTDIR}${orvanta_module_dir}")
  set(orvanta_program "${orvanta_cgi_dir}/orvanta.cgi")
  set(orvanta_config "${orvanta_cgi_dir}/cfg_file.cfg")

  set(orvanta_config_files)
  if(orvanta_install_config)
    set(orvanta_config_files "${orvanta_config}" "${orvanta_config}.sample")
    # A configuration that is already there is the site's own: keep it.
    if(EXISTS "${orvanta_config}")
      message(STATUS "Kept: ${orvanta_config} (the new sample is cfg_file.cfg.sample beside it)")
    else()
      message(STATUS "Installing: ${orvanta_config}")
      file(COPY_FILE "${orvanta_config}.sample" "${orvanta_config}")
      file(CHMOD "${orvanta_config}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endif()

  execute_process(COMMAND id -u OUTPUT_VARIABLE orvanta_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT orvanta_uid STREQUAL "0")
    set(orvanta_config_steps "")
    if(orvanta_config_files)
      string(JOIN " " orvanta_config_words ${orvanta_config_files})
      set(orvanta_config_steps
          "  chown root:root ${orvanta_config_words}\n  chmod 0644 ${orvanta_config_words}\n")
    endif()
    message(WARNING
      "This install does not run as root, so orvanta.cgi is not yet set-user-ID "
      "root and the web server's group cannot run it. As root, run:\n"
      "  chown root:root ${orvanta_cgi_dir}\n"
      "  chmod 0755 ${orvanta_cgi_dir}\n"
      "  chown -R root:root ${orvanta_module_dir}\n"
      "${orvanta_config_steps}"
      "  chown root:${orvanta_web_group} ${orvanta_program}\n"
      "  chmod 4750 ${orvanta_program}\n")
  else()
    # Root owns the directory (the program appends orvanta.log there as
    # root) and the settings (they name the programs it runs as root).
    execute_process(
      COMMAND chown root:root "${orvanta_cgi_dir}" ${orvanta_config_files}
      RESULT_VARIABLE orvanta_failed)
    if(orvanta_failed)
      message(FATAL_ERROR "chown root:root in ${orvanta_cgi_dir} failed")
    endif()
    file(CHMOD "${orvanta_cgi_dir}" DIRECTORY_PERMISSIONS
         OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)

    execute_process(COMMAND getent group "${orvanta_web_group}"
                    RESULT_VARIABLE orvanta_no_group OUTPUT_QUIET)
    if(orvanta_no_group)
      # Nobody but root could run it: leave it unusable rather than
      # runnable by everybody, and say so.
      execute_process(COMMAND chown root:root "${orvanta_program}")
      file(CHMOD "${orvanta_program}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
      message(WARNING
        "The group '${orvanta_web_group}' does not exist, so ${orvanta_program} "
        "is left root:root with mode 0700, where the web server cannot run it. "
        "Configure with -DORVANTA_WEB_GROUP=<the web server's group> and install "
        "again, or run as root:\n"
        "  chown root:<group> ${orvanta_program} && chmod 4750 ${orvanta_program}\n")
    else()
      # chown clears the set-user-ID bit, so the mode comes after it.
      execute_process(COMMAND chown "root:${orvanta_web_group}" "${orvanta_program}"
                      RESULT_VARIABLE orvanta_failed)
      if(NOT orvanta_failed)
        execute_process(COMMAND chmod 4750 "${orvanta_program}"
                        RESULT_VARIABLE orvanta_failed)
      endif()
      if(orvanta_failed)
        message(FATAL_ERROR
          "Could not make ${orvanta_program} set-user-ID root for group ${orvanta_web_group}")
      endif()
      message(STATUS "Set-user-ID root, group ${orvanta_web_group}, mode 4750: ${orvanta_program}")
    endif()
  endif()
]])
