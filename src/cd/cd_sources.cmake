# The CD reading sources in src/cd (the recording engine lists its own).
target_sources(tallory_objects PRIVATE
)
