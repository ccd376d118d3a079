# The CD reading sources in src/cd (the recording engine lists its own).
target_sources(tallory_objects PRIVATE
  cd/disc_id.cpp
  cd/cd_drives.cpp
  cd/cd_track_source.cpp
  cd/cd_exports.cpp
  cd/cddb/xmcd.cpp
  cd/cddb/cddb_client.cpp
)
