-- What line init grants once the migrations have run, in the same
-- transaction, to the roles the settings name (either may be empty):
-- - kestro.station_role, the role stations log in as: the station's
--   functions, and reading what a station reads, but never a row's values
--   or a certificate, and no table to write;
-- - kestro.viewer_role, a plant's dashboard: reading the two views alone.
-- Whatever else such a role was given on the line's tables is taken back.
-- By hand: SET kestro.station_role = 'st'; then run this file.
DO $grants$
DECLARE
    v_schema text := (SELECT relnamespace::regnamespace::text FROM pg_class
                       WHERE oid = 'line_schema'::regclass);
    v_station text := coalesce(current_setting('kestro.station_role', true), '');
    v_viewer text := coalesce(current_setting('kestro.viewer_role', true), '');
BEGIN
    IF v_station <> '' THEN
        EXECUTE format('REVOKE ALL ON ALL TABLES IN SCHEMA %s FROM %I', v_schema, v_station);
        EXECUTE format('GRANT USAGE ON SCHEMA %s TO %I', v_schema, v_station);
        EXECUTE format('GRANT SELECT ON line_schema, line_batches, line_progress TO %I',
                       v_station);
        EXECUTE format('GRANT SELECT (batch_id, row_no, unit, identity, state, holder_station, '
                       'holder_fixture, lease_end, generation, written_generation) '
                       'ON line_rows TO %I', v_station);
        EXECUTE format('GRANT SELECT (batch_id, row_no, station, fixture, generation, settled, '
                       'entry) ON line_results TO %I', v_station);
        EXECUTE format('GRANT EXECUTE ON FUNCTION '
                       'line_claim(text, text, text, double precision, integer), '
                       'line_renew(text, integer, bigint, text, text, double precision), '
                       'line_writing(text, integer, bigint, text, text, double precision), '
                       'line_record(text, integer, bigint, text, text, boolean, text, text, '
                       'integer, json), '
                       'line_station_start(text, text, integer, integer), '
                       'line_station_seen(text) TO %I', v_station);
    END IF;
    IF v_viewer <> '' THEN
        EXECUTE format('REVOKE ALL ON ALL TABLES IN SCHEMA %s FROM %I', v_schema, v_viewer);
        EXECUTE format('REVOKE ALL ON ALL FUNCTIONS IN SCHEMA %s FROM %I', v_schema, v_viewer);
        EXECUTE format('GRANT USAGE ON SCHEMA %s TO %I', v_schema, v_viewer);
        EXECUTE format('GRANT SELECT ON line_progress, station_rates TO %I', v_viewer);
    END IF;
END
$grants$;
